// A modal panel over its window, for alerts and short tasks.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import Zoranth.Host

Popup {
    id: sheet

    anchors.centerIn: Overlay.overlay
    modal: true
    focus: true
    padding: 20
    width: Math.min(460, (parent ? parent.width : 460) - 40)
    closePolicy: Popup.CloseOnEscape

    Overlay.modal: Rectangle {
        color: Qt.rgba(0.08, 0.06, 0.14, 0.35)
    }
    background: Rectangle {
        radius: 14
        color: Brand.surface
        border.width: 1
        border.color: Brand.separator
    }
    enter: Transition {
        NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 120 }
        NumberAnimation { property: "scale"; from: 0.96; to: 1; duration: 120; easing.type: Easing.OutCubic }
    }
}
