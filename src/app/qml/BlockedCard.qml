// What stops guests hearing anything before a rave even starts: a throw-away copy of the
// program, or no permission to record this computer's audio. Shows nothing otherwise.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Window

Card {
    id: card

    property QtObject controller
    // Where this program runs from; a copy the system moved aside lives under this folder.
    property string applicationPath: Desktop.applicationPath

    readonly property QtObject audio: controller ? controller.audio : null
    readonly property string kind: applicationPath.indexOf("/AppTranslocation/") >= 0 ? "translocated"
                                  : audio && audio.verdict === "denied" ? "denied"
                                  : audio && audio.isProbing ? "probing" : ""
    readonly property alias title: titleLabel.text

    visible: kind.length > 0
    wash: kind === "probing" ? Brand.tint : Brand.warning
    washOpacity: 0.10
    implicitHeight: content.implicitHeight + 24

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 12
        spacing: 12

        Icon {
            Layout.alignment: Qt.AlignTop
            visible: card.kind !== "probing"
            name: card.kind === "translocated" ? "exclamationmark.octagon.fill" : "waveform.slash"
            color: Brand.warning
            size: 26
        }
        BusyIndicator {
            Layout.alignment: Qt.AlignTop
            visible: card.kind === "probing"
            running: visible
            implicitWidth: 26
            implicitHeight: 26
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 4
            Label {
                id: titleLabel
                objectName: "blockedCardTitle"
                Layout.fillWidth: true
                text: card.kind === "translocated" ? "Move Zoranth to your Applications folder"
                    : card.kind === "denied" ? "Zoranth can't hear this Mac"
                    : card.kind === "probing" ? "Checking whether Zoranth can hear this Mac…" : ""
                wrapMode: Text.Wrap
                font.pixelSize: Brand.headlineSize
                font.bold: true
                color: Brand.text
            }
            Label {
                objectName: "blockedCardText"
                Layout.fillWidth: true
                text: card.kind === "translocated"
                      ? "macOS is running Zoranth from a temporary copy it will throw away. Any permission you grant now is forgotten the next time you open it, and guests will not be able to connect."
                      : card.kind === "denied"
                      ? "Open System Settings > Privacy & Security > Audio Recording and turn on Zoranth Host. Without it the rave runs but every guest hears silence."
                      : "If macOS is asking your permission, answer it and this finishes on its own."
                wrapMode: Text.Wrap
                font.pixelSize: Brand.bodySize
                color: Brand.text
            }
            Row {
                visible: card.kind !== "probing"
                Layout.topMargin: 4
                spacing: 8
                PlainButton {
                    objectName: "revealButton"
                    visible: card.kind === "translocated"
                    text: "Reveal in Finder"
                    symbol: "folder"
                    onClicked: Desktop.revealApplication()
                }
                PlainButton {
                    objectName: "openAudioSettingsCardButton"
                    visible: card.kind === "denied"
                    text: "Open Audio Settings"
                    onClicked: card.audio.openSettings()
                }
                PlainButton {
                    objectName: "checkAgainButton"
                    visible: card.kind === "denied"
                    text: "Check again"
                    symbol: "arrow.clockwise"
                    onClicked: card.audio.check("userRequest")
                }
            }
        }
    }
}
