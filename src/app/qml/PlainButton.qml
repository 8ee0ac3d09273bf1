// A bordered secondary button, optionally with a symbol before its text.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Button {
    id: button

    property string symbol
    property color textColor: Brand.tint

    font.pixelSize: Brand.bodySize
    leftPadding: 12
    rightPadding: 12
    topPadding: 5
    bottomPadding: 5

    contentItem: RowLayout {
        spacing: 6
        Icon {
            visible: button.symbol.length > 0
            name: button.symbol
            size: 14
            color: button.textColor
            opacity: button.enabled ? 1 : 0.45
        }
        Label {
            text: button.text
            font: button.font
            color: button.textColor
            opacity: button.enabled ? 1 : 0.45
        }
    }
    background: Rectangle {
        implicitWidth: 60
        implicitHeight: 28
        radius: 7
        color: button.down ? Qt.darker(Brand.surface, 1.08)
             : button.hovered ? Qt.darker(Brand.surface, 1.03) : Brand.surface
        border.width: 1
        border.color: button.visualFocus ? Brand.tint : Brand.separator
    }
}
