// "LIVE", in the size it is given (the main button's, so the two line up).
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import Zoranth.Host

Rectangle {
    id: badge

    implicitWidth: 74
    implicitHeight: 28
    radius: Math.min(10, height / 2)
    color: Brand.live

    Row {
        anchors.centerIn: parent
        spacing: Math.max(5, badge.height * 0.16)

        Rectangle {
            id: dot
            anchors.verticalCenter: parent.verticalCenter
            width: Math.max(6, badge.height * 0.2)
            height: width
            radius: width / 2
            color: "white"
            SequentialAnimation on opacity {
                loops: Animation.Infinite
                running: badge.visible
                NumberAnimation { to: 0.35; duration: 700; easing.type: Easing.InOutSine }
                NumberAnimation { to: 1; duration: 700; easing.type: Easing.InOutSine }
            }
        }
        Label {
            anchors.verticalCenter: parent.verticalCenter
            text: "LIVE"
            color: "white"
            font.bold: true
            font.pixelSize: Math.max(10, badge.height * 0.4)
            font.letterSpacing: 1.5
        }
    }
}
