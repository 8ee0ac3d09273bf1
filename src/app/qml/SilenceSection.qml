// Whether this computer's own speakers play the rave too, and the button to silence or
// restore them.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: section

    required property SpeakersModel speakers

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
                name: section.speakers.symbol
                color: Brand.accent
                size: 24
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 2
                Label {
                    objectName: "silenceHeadline"
                    Layout.fillWidth: true
                    text: section.speakers.headline
                    wrapMode: Text.Wrap
                    font.pixelSize: Brand.headlineSize
                    font.bold: true
                    color: Brand.text
                }
                Caption {
                    objectName: "silenceDetail"
                    Layout.fillWidth: true
                    visible: text.length > 0
                    text: section.speakers.detail
                }
            }
            PlainButton {
                objectName: "silenceButton"
                Layout.alignment: Qt.AlignVCenter
                visible: text.length > 0
                text: section.speakers.buttonText
                symbol: section.speakers.buttonMutes ? "speaker.slash.fill" : "speaker.wave.2.fill"
                onClicked: section.speakers.buttonMutes ? section.speakers.mute() : section.speakers.unmute()
            }
        }
    }
}
