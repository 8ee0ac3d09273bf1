// A whole number typed or stepped within from…to, in the window's rounded style. The
// number is written in digits only ("4096", not "4,096"). Typed text that is not a whole
// number, an empty field included, keeps the value it had rather than reading as 0; a
// number out of range, however long, ends at the nearest end of the range.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import Zoranth.Host

SpinBox {
    id: box

    editable: true
    font.pixelSize: Brand.bodySize

    textFromValue: function(number) { return number.toString() }
    valueFromText: function(text) {
        const typed = text.trim()
        if (!/^-?[0-9]+$/.test(typed))
            return box.value
        return Math.max(box.from, Math.min(box.to, parseInt(typed, 10)))
    }

    background: Rectangle {
        implicitWidth: 110
        implicitHeight: 30
        radius: 8
        color: Brand.surface
        border.width: box.activeFocus ? 2 : 1
        border.color: box.activeFocus ? Brand.tint : Brand.separator
    }
    up.indicator: Item {
        x: box.width - width - 4
        y: 2
        implicitWidth: 20
        height: box.height / 2 - 2
        Icon {
            anchors.centerIn: parent
            anchors.verticalCenterOffset: 1
            rotation: 180
            name: "chevron.down"
            size: 9
            color: !box.enabled || box.value >= box.to ? Brand.separator
                 : box.up.pressed ? Brand.tint : Brand.secondaryText
        }
    }
    down.indicator: Item {
        x: box.width - width - 4
        y: box.height / 2
        implicitWidth: 20
        height: box.height / 2 - 2
        Icon {
            anchors.centerIn: parent
            anchors.verticalCenterOffset: -1
            name: "chevron.down"
            size: 9
            color: !box.enabled || box.value <= box.from ? Brand.separator
                 : box.down.pressed ? Brand.tint : Brand.secondaryText
        }
    }
}
