// "Quit Zoranth?": asked while a rave is live or while this program keeps the speakers
// muted, with the choice to unmute them on the way out.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Sheet {
    id: dialog

    // The question as the quit coordinator words it.
    property QuitPrompt prompt: null
    // The user's answer: quit or not, and whether the unmute box was ticked.
    signal answered(bool quit, bool unmute)

    property bool quitChosen: false
    readonly property bool offersUnmute: prompt !== null && prompt.unmuteCheckbox.length > 0

    function ask() {
        quitChosen = false
        unmuteBox.checked = true
        open()
    }

    onClosed: answered(quitChosen, offersUnmute && unmuteBox.checked)

    contentItem: ColumnLayout {
        spacing: 10
        RowLayout {
            spacing: 12
            Image {
                source: Brand.logo
                sourceSize: Qt.size(80, 80)
                Layout.preferredWidth: 40
                Layout.preferredHeight: 40
                Layout.alignment: Qt.AlignTop
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 6
                Label {
                    objectName: "quitTitle"
                    text: dialog.prompt ? dialog.prompt.title : ""
                    font.pixelSize: Brand.titleSize
                    font.bold: true
                    color: Brand.text
                }
                Label {
                    objectName: "quitMessage"
                    Layout.fillWidth: true
                    text: dialog.prompt ? dialog.prompt.informativeText : ""
                    wrapMode: Text.Wrap
                    font.pixelSize: Brand.bodySize
                    color: Brand.text
                }
                CheckBox {
                    id: unmuteBox
                    objectName: "unmuteCheckbox"
                    visible: dialog.offersUnmute
                    text: dialog.prompt ? dialog.prompt.unmuteCheckbox : ""
                    checked: true
                }
            }
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            Layout.topMargin: 6
            spacing: 8
            PlainButton {
                objectName: "cancelQuitButton"
                text: dialog.prompt ? dialog.prompt.cancelButton : "Cancel"
                onClicked: {
                    dialog.quitChosen = false
                    dialog.close()
                }
            }
            TintButton {
                objectName: "quitButton"
                text: dialog.prompt ? dialog.prompt.quitButton : "Quit"
                focus: true
                onClicked: {
                    dialog.quitChosen = true
                    dialog.close()
                }
            }
        }
    }
}
