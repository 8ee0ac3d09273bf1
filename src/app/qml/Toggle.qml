// An on/off switch in the brand tint.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import Zoranth.Host

Switch {
    id: toggle

    padding: 2
    implicitWidth: leftPadding + 40 + rightPadding
    implicitHeight: topPadding + 22 + bottomPadding
    indicator: Rectangle {
        implicitWidth: 40
        implicitHeight: 22
        x: toggle.leftPadding
        y: (toggle.height - height) / 2
        radius: 11
        color: toggle.checked ? (toggle.enabled ? Brand.tint : Qt.lighter(Brand.tint, 1.4)) : "#D9D6E3"

        Rectangle {
            x: toggle.checked ? parent.width - width - 2 : 2
            y: 2
            width: 18
            height: 18
            radius: 9
            color: "white"
        }
    }
    contentItem: Item {}
}
