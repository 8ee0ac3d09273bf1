// Whether this computer's own speakers play the rave too, and the button to silence or
// restore them; warns when another program holds the audio device.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Window

ColumnLayout {
    id: section

    property bool isMacMuted: false
    property string muteStrategy: "unavailable"
    property real bufferDelayMs: 4500
    property string hogOwner
    signal mute()
    signal unmute()

    readonly property var texts: ViewText.silence(isMacMuted, muteStrategy, bufferDelayMs)

    spacing: 6

    Card {
        Layout.fillWidth: true
        wash: Brand.accent
        radius: Brand.smallRadius
        implicitHeight: row.implicitHeight + 20

        RowLayout {
            id: row
            anchors.fill: parent
            anchors.margins: 10
            spacing: 10

            Icon {
                objectName: "silenceSymbol"
                Layout.alignment: Qt.AlignTop
                name: section.texts.symbol
                color: Brand.accent
                size: 24
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 2
                Label {
                    objectName: "silenceHeadline"
                    Layout.fillWidth: true
                    text: section.texts.headline
                    wrapMode: Text.Wrap
                    font.pixelSize: Brand.headlineSize
                    font.bold: true
                    color: Brand.text
                }
                Caption {
                    objectName: "silenceDetail"
                    Layout.fillWidth: true
                    visible: text.length > 0
                    text: section.texts.detail
                }
            }
            PlainButton {
                objectName: "silenceButton"
                Layout.alignment: Qt.AlignVCenter
                visible: text.length > 0
                text: section.texts.button
                symbol: section.texts.mutes ? "speaker.slash.fill" : "speaker.wave.2.fill"
                onClicked: section.texts.mutes ? section.mute() : section.unmute()
            }
        }
    }
    Caption {
        objectName: "hogWarning"
        Layout.fillWidth: true
        visible: section.hogOwner.length > 0
        text: ViewText.hogWarning(section.hogOwner)
        color: Brand.warning
    }
}
