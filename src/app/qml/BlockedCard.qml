// What stops guests hearing anything before a rave even starts: a throw-away copy of the
// program, or no permission to record this computer's audio. Shows nothing otherwise.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Card {
    id: card

    enum Problem { Nothing, Translocated, Denied, Probing }

    required property AudioCapabilityModel audio
    // Where this program runs from; a copy the system moved aside lives under this folder.
    property string applicationPath: Desktop.applicationPath

    readonly property int problem: applicationPath.indexOf("/AppTranslocation/") >= 0 ? BlockedCard.Translocated
                                 : audio.verdict === AudioCapabilityModel.Denied ? BlockedCard.Denied
                                 : audio.isProbing ? BlockedCard.Probing : BlockedCard.Nothing
    readonly property alias title: titleLabel.text

    visible: problem !== BlockedCard.Nothing
    wash: problem === BlockedCard.Probing ? Brand.tint : Brand.warning
    washOpacity: 0.10
    implicitHeight: content.implicitHeight + 24

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 12
        spacing: 12

        Icon {
            Layout.alignment: Qt.AlignTop
            visible: card.problem !== BlockedCard.Probing
            name: card.problem === BlockedCard.Translocated ? "exclamationmark.octagon.fill" : "waveform.slash"
            color: Brand.warning
            size: 26
        }
        BusyIndicator {
            Layout.alignment: Qt.AlignTop
            visible: card.problem === BlockedCard.Probing
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
                text: card.problem === BlockedCard.Translocated ? "Move Zoranth to your Applications folder"
                    : card.problem === BlockedCard.Denied ? "Zoranth can't hear this Mac"
                    : card.problem === BlockedCard.Probing ? "Checking whether Zoranth can hear this Mac…" : ""
                wrapMode: Text.Wrap
                font.pixelSize: Brand.headlineSize
                font.bold: true
                color: Brand.text
            }
            Label {
                objectName: "blockedCardText"
                Layout.fillWidth: true
                text: card.problem === BlockedCard.Translocated
                      ? "macOS is running Zoranth from a temporary copy it will throw away. Any permission you grant now is forgotten the next time you open it, and guests will not be able to connect."
                      : card.problem === BlockedCard.Denied
                      ? "Open System Settings > Privacy & Security > Audio Recording and turn on Zoranth Host. Without it the rave runs but every guest hears silence."
                      : "If macOS is asking your permission, answer it and this finishes on its own."
                wrapMode: Text.Wrap
                font.pixelSize: Brand.bodySize
                color: Brand.text
            }
            Row {
                visible: card.problem !== BlockedCard.Probing
                Layout.topMargin: 4
                spacing: 8
                PlainButton {
                    objectName: "revealButton"
                    visible: card.problem === BlockedCard.Translocated
                    text: "Reveal in Finder"
                    symbol: "folder"
                    onClicked: Desktop.revealApplication()
                }
                PlainButton {
                    objectName: "openAudioSettingsCardButton"
                    visible: card.problem === BlockedCard.Denied
                    text: "Open Audio Settings"
                    onClicked: card.audio.openSettings()
                }
                PlainButton {
                    objectName: "checkAgainButton"
                    visible: card.problem === BlockedCard.Denied
                    text: "Check again"
                    symbol: "arrow.clockwise"
                    onClicked: card.audio.check(AudioCapabilityModel.UserRequest)
                }
            }
        }
    }
}
