// What stops guests hearing anything before a rave even starts: Zoranth cannot record
// this computer's audio (a sandbox refuses it, or no sound server runs), or the check is
// still under way. Shows nothing otherwise.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Card {
    id: card

    required property AudioCapabilityModel audio

    readonly property bool cannotHear: audio.verdict === AudioCapabilityModel.Denied
                                       || audio.verdict === AudioCapabilityModel.Unreachable
    readonly property bool probing: !cannotHear && audio.isProbing
    readonly property alias title: titleLabel.text

    visible: cannotHear || probing
    wash: probing ? Brand.tint : Brand.warning
    washOpacity: 0.10
    implicitHeight: content.implicitHeight + 24

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 12
        spacing: 12

        Icon {
            Layout.alignment: Qt.AlignTop
            visible: card.cannotHear
            name: "waveform.slash"
            color: Brand.warning
            size: 26
        }
        BusyIndicator {
            Layout.alignment: Qt.AlignTop
            visible: card.probing
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
                text: card.cannotHear ? "Zoranth can't hear this computer"
                    : card.probing ? "Checking whether Zoranth can hear this computer…" : ""
                wrapMode: Text.Wrap
                font.pixelSize: Brand.headlineSize
                font.bold: true
                color: Brand.text
            }
            Label {
                objectName: "blockedCardText"
                Layout.fillWidth: true
                text: card.cannotHear ? card.audio.problemDetail
                    : "Zoranth is opening the sound server's recording of this computer's output for a moment."
                wrapMode: Text.Wrap
                font.pixelSize: Brand.bodySize
                color: Brand.text
            }
            Caption {
                objectName: "blockedCardFix"
                Layout.fillWidth: true
                visible: card.cannotHear && text.length > 0
                text: card.audio.problemFix
            }
            PlainButton {
                objectName: "checkAgainButton"
                visible: card.cannotHear
                Layout.topMargin: 4
                text: "Check again"
                symbol: "arrow.clockwise"
                onClicked: card.audio.check(AudioCapabilityModel.UserRequest)
            }
        }
    }
}
