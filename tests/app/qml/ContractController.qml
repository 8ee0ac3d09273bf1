// A stand-in for the broadcast controller with the properties and operations the window
// binds to, for driving the views in tests. It records every operation called.
import QtQuick

QtObject {
    property string state: "idle"
    property string failureMessage: ""
    property var peak: [0, 0]
    property var rms: [0, 0]
    property string tapFormatDescription: "—"
    property int ioBufferFrames: 0
    property int ringDepth: 0
    property double chunksProduced: 0
    property double discontinuities: 0
    property double ringOverruns: 0
    property double ioProcDeliveries: 0
    property var diagnosis: ({ kind: "idle", silentFor: 0 })
    property bool isMacMuted: false
    property var muteOwnership: ({ weMuted: false, strategy: "unavailable" })
    property string muteStrategy: "device"
    property string hogOwner: ""
    property var clients: []
    property string tier: "full"
    property string qualityFloor: "minimum"
    property string tierReason: ""
    property var link: null
    property string linkDescription: "checking…"
    property string attachment: "unknown"
    property var clientTiers: ({})
    property bool isQualityAutomatic: true
    property var health: ({
        diagnosis: "idle", guestCount: 0, strugglingCount: 0, summary: "No guests connected.",
        struggling: {}, linkStrain: {},
        headroom: { floorMs: null, inflationMs: null, isClimbing: false, comfortableAt: 0,
                    offeredMbps: 0, strain: 0 }
    })
    property int listenPort: 0
    property string advertisedName: ""
    property var addresses: []
    property bool localNetworkDenied: false
    property string raveName: ""
    property real bufferDelayMs: 4500
    property string droughtStage: "fine"
    property var troubleFindings: []
    property bool isKeepingAwake: false
    property string permissionWarning: ""

    // Every operation called, in order: "start", "stop", "muteMac", "unmuteMac",
    // "setQuality:<tier>", "audio.check:<trigger>", "audio.openSettings".
    property var calls: []
    function record(call) { calls = calls.concat([call]) }

    property QtObject audio: QtObject {
        property string verdict: ""
        property string verdictReason: ""
        property bool isProbing: false
        property var owner
        function check(trigger) { owner.record("audio.check:" + trigger) }
        function openSettings() { owner.record("audio.openSettings") }
    }
    Component.onCompleted: audio.owner = this

    function start() { record("start") }
    function stop() { record("stop") }
    function muteMac() { record("muteMac"); return true }
    function unmuteMac() { record("unmuteMac"); return true }
    function setQuality(name) { record("setQuality:" + name); tier = name }
}
