// The prominent button in the brand tint.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import Zoranth.Host

Button {
    id: button

    property color tint: Brand.tint
    property bool large: false

    font.pixelSize: large ? 15 : Brand.bodySize
    font.bold: true
    leftPadding: large ? 26 : 14
    rightPadding: leftPadding
    topPadding: large ? 11 : 6
    bottomPadding: topPadding

    contentItem: Label {
        text: button.text
        font: button.font
        color: "white"
        opacity: button.enabled ? 1 : 0.75
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        implicitWidth: 80
        implicitHeight: button.large ? 40 : 28
        radius: button.large ? 10 : 7
        color: !button.enabled ? Qt.lighter(button.tint, 1.45)
             : button.down ? Qt.darker(button.tint, 1.18)
             : button.hovered ? Qt.lighter(button.tint, 1.06) : button.tint
        border.width: button.visualFocus ? 2 : 0
        border.color: Qt.darker(button.tint, 1.4)
    }
}
