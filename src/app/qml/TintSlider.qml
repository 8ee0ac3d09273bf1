// A slider whose filled part and handle take the brand tint.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import Zoranth.Host

Slider {
    id: slider

    readonly property color trackColor: enabled ? Brand.tint : "#B9B4C8"

    background: Rectangle {
        x: slider.leftPadding
        y: slider.topPadding + slider.availableHeight / 2 - height / 2
        implicitWidth: 200
        implicitHeight: 4
        width: slider.availableWidth
        height: implicitHeight
        radius: 2
        color: "#E1DEEA"

        Rectangle {
            width: slider.visualPosition * parent.width
            height: parent.height
            radius: 2
            color: slider.trackColor
        }
    }
    handle: Rectangle {
        x: slider.leftPadding + slider.visualPosition * (slider.availableWidth - width)
        y: slider.topPadding + slider.availableHeight / 2 - height / 2
        implicitWidth: 18
        implicitHeight: 18
        radius: 9
        color: slider.pressed ? Brand.tintSoft : "white"
        border.width: 2
        border.color: slider.trackColor
    }
}
