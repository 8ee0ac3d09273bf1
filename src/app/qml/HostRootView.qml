// Everything a host sees during a rave, top to bottom: the masthead and the rave's name,
// what blocks capture, the start/end button with the rave's status, the capture warning,
// the level meters, the no-guest card and the speakers, then the guests. It reads the
// broadcast controller and calls its operations; it keeps only which firewall fix is
// open, a fix's failure, and the main button's size.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Window

Item {
    id: root

    property QtObject controller

    // The finding whose firewall fix is open, and a fix's failure message; null when none.
    property var pendingFix: null
    property var fixFailure: null
    // The main button's measured size, which the LIVE badge matches.
    readonly property size buttonSize: Qt.size(mainButton.width, mainButton.height)

    readonly property string raveState: controller ? controller.state : "idle"
    readonly property bool live: raveState === "broadcasting"
    readonly property real bufferDelayMs: controller ? controller.bufferDelayMs : 4500
    readonly property var clients: controller ? controller.clients : []
    readonly property var muteOwnership: controller ? controller.muteOwnership : ({})
    readonly property string addressText: controller
        ? ViewText.address(controller.advertisedName, controller.addresses, controller.listenPort)
        : ViewText.address("", [], 0)

    implicitWidth: 620
    implicitHeight: 520

    Component.onCompleted: {
        if ((raveState === "idle" || raveState === "failed") && controller && controller.audio)
            controller.audio.check("launch")
    }

    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: mainButton.enabled && !raveName.activeFocus
        onActivated: mainButton.clicked()
    }

    ScrollView {
        id: scroll
        anchors.fill: parent
        contentWidth: availableWidth

        ColumnLayout {
            id: column
            x: 20
            y: 20
            width: scroll.availableWidth - 40
            spacing: 14

            // 1. Masthead and the rave's name.
            RowLayout {
                Layout.fillWidth: true
                spacing: 12
                BrandLockup {
                    Layout.alignment: Qt.AlignVCenter
                }
                Item { Layout.fillWidth: true }
                Label {
                    objectName: "raveNameLabel"
                    Layout.alignment: Qt.AlignVCenter
                    text: "Rave name"
                    font.pixelSize: Brand.bodySize
                    color: Brand.secondaryText
                }
                TextField {
                    id: raveName
                    objectName: "raveNameField"
                    readonly property string helpText: root.live
                        ? "End the rave to rename it — guests are connected to this name."
                        : "What guests see when they look for your rave."
                    Layout.alignment: Qt.AlignVCenter
                    Layout.preferredWidth: 190
                    placeholderText: "Rave name"
                    text: root.controller ? root.controller.raveName : ""
                    enabled: !root.live
                    font.pixelSize: Brand.bodySize
                    onTextEdited: if (root.controller) root.controller.raveName = text
                    background: Rectangle {
                        implicitHeight: 30
                        radius: 8
                        color: raveName.enabled ? Brand.surface : "#EDECF2"
                        border.width: raveName.activeFocus ? 2 : 1
                        border.color: raveName.activeFocus ? Brand.tint : Brand.separator
                    }
                    HoverHandler { id: nameHover }
                    ToolTip.visible: nameHover.hovered
                    ToolTip.text: helpText
                }
            }

            // 2. Capture blocked, or being checked.
            BlockedCard {
                objectName: "blockedCard"
                Layout.fillWidth: true
                controller: root.controller
            }

            // 3. Start or end, and how the rave is doing. The row is a layout of its own
            // (not one nested in the column), so a part appearing or going away re-lays it
            // even when the row keeps its size.
            Item {
                Layout.fillWidth: true
                implicitHeight: header.implicitHeight

                RowLayout {
                    id: header
                    anchors.fill: parent
                    spacing: 12

                    TintButton {
                        id: mainButton
                        objectName: "mainButton"
                        large: true
                        text: root.live ? "End Rave" : "Start Rave"
                        enabled: root.raveState !== "starting"
                        onClicked: {
                            if (!root.controller)
                                return
                            if (root.live)
                                root.controller.stop()
                            else
                                root.controller.start()
                        }
                    }
                    LiveBadge {
                        objectName: "liveBadge"
                        visible: root.live
                        Layout.preferredWidth: root.buttonSize.width > 0 ? root.buttonSize.width : implicitWidth
                        Layout.preferredHeight: root.buttonSize.height > 0 ? root.buttonSize.height : implicitHeight
                    }
                    Label {
                        objectName: "listeningText"
                        visible: root.live
                        Layout.fillWidth: true
                        text: ViewText.listening(root.clients)
                        wrapMode: Text.Wrap
                        maximumLineCount: 2
                        elide: Text.ElideRight
                        font.pixelSize: Brand.bodySize
                        font.bold: true
                        color: Brand.text
                    }
                    Label {
                        objectName: "statusText"
                        visible: !root.live
                        Layout.fillWidth: true
                        text: ViewText.status(root.raveState, root.controller ? root.controller.failureMessage : "")
                        wrapMode: Text.Wrap
                        maximumLineCount: 3
                        font.pixelSize: Brand.bodySize
                        color: root.raveState === "failed" ? Brand.danger : Brand.secondaryText
                    }
                    Label {
                        id: bufferLabel
                        objectName: "bufferText"
                        readonly property string helpText: root.live
                            ? "How far ahead guests buffer. End the rave to change it in Settings."
                            : "How far ahead guests buffer. Change it in Settings."
                        text: ViewText.buffer(root.bufferDelayMs)
                        font.pixelSize: Brand.captionSize
                        color: Brand.secondaryText
                        padding: 5
                        leftPadding: 9
                        rightPadding: 9
                        background: Rectangle {
                            radius: height / 2
                            color: "#ECEAF2"
                        }
                        HoverHandler { id: bufferHover }
                        ToolTip.visible: bufferHover.hovered
                        ToolTip.text: helpText
                    }
                }
            }

            // 4. Capture delivers nothing.
            WarningBanner {
                objectName: "permissionWarning"
                Layout.fillWidth: true
                visible: text.length > 0
                text: root.controller && root.controller.permissionWarning ? root.controller.permissionWarning : ""
                onOpenSettings: root.controller.audio.openSettings()
            }

            // 5. Levels.
            Card {
                Layout.fillWidth: true
                implicitHeight: meters.implicitHeight + 24
                LevelMeterView {
                    id: meters
                    objectName: "levelMeter"
                    anchors.fill: parent
                    anchors.margins: 12
                    peak: root.controller ? root.controller.peak : [0, 0]
                    rms: root.controller ? root.controller.rms : [0, 0]
                }
            }

            // 6. Nobody joining, and this computer's own speakers.
            TroubleCard {
                objectName: "troubleCard"
                Layout.fillWidth: true
                visible: root.live && (stage === "quiet" || stage === "investigate")
                stage: root.controller ? root.controller.droughtStage : "fine"
                findings: root.controller ? root.controller.troubleFindings : []
                addressText: root.addressText
                onFix: function(finding) { root.pendingFix = finding }
            }
            SilenceSection {
                objectName: "silenceSection"
                Layout.fillWidth: true
                visible: root.live || (root.muteOwnership && root.muteOwnership.weMuted === true)
                isMacMuted: root.controller ? root.controller.isMacMuted : false
                muteStrategy: root.controller ? root.controller.muteStrategy : "unavailable"
                bufferDelayMs: root.bufferDelayMs
                hogOwner: root.controller && root.controller.hogOwner ? root.controller.hogOwner : ""
                onMute: root.controller.muteMac()
                onUnmute: root.controller.unmuteMac()
            }

            // 7, 8. The guests.
            Divider {}
            GuestListView {
                objectName: "guestList"
                Layout.fillWidth: true
                Layout.bottomMargin: 20
                clients: root.clients
                health: root.controller ? root.controller.health : ({})
                tiers: root.controller ? root.controller.clientTiers : ({})
            }
        }
    }

    FirewallFixSheet {
        id: fixSheet
        objectName: "rootFirewallSheet"
        parent: Overlay.overlay
        finding: root.pendingFix
        onFinished: function(failureMessage) {
            root.pendingFix = null
            if (failureMessage !== null && failureMessage !== undefined)
                root.fixFailure = failureMessage
        }
    }
    AlertDialog {
        id: fixAlert
        objectName: "rootFirewallAlert"
        parent: Overlay.overlay
        title: "Firewall"
        message: root.fixFailure || ""
        onDismissed: root.fixFailure = null
    }

    onPendingFixChanged: if (pendingFix !== null) fixSheet.open()
    onFixFailureChanged: if (fixFailure !== null) fixAlert.open()
}
