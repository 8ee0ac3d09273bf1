// A drop-down list of choices, in the window's rounded style.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import Zoranth.Host

ComboBox {
    id: picker

    font.pixelSize: Brand.bodySize
    leftPadding: 10
    rightPadding: 30

    background: Rectangle {
        implicitWidth: 160
        implicitHeight: 30
        radius: 8
        color: picker.down ? "#F1F0F5" : picker.hovered ? "#FAFAFC" : Brand.surface
        border.width: picker.visualFocus ? 2 : 1
        border.color: picker.visualFocus ? Brand.tint : Brand.separator
    }
    contentItem: Label {
        text: picker.displayText
        font: picker.font
        color: picker.enabled ? Brand.text : Brand.secondaryText
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    indicator: Icon {
        x: picker.width - width - 10
        y: (picker.height - height) / 2
        name: "chevron.down"
        size: 11
        color: Brand.secondaryText
    }
}
