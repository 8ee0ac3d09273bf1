// One symbol of the window's own set, drawn in one colour at the size given.
import QtQuick
import Zoranth.Host

Item {
    id: icon

    // The symbol's name, e.g. "exclamationmark.triangle.fill".
    property string name
    property color color: Brand.text
    property real size: 16

    implicitWidth: size
    implicitHeight: size

    Image {
        anchors.fill: parent
        sourceSize: Qt.size(Math.ceil(icon.size * 2), Math.ceil(icon.size * 2))
        smooth: true
        mipmap: true
        fillMode: Image.PreserveAspectFit
        source: icon.name.length > 0
                ? "image://icon/" + icon.name + "/" + String(icon.color).substring(1) : ""
    }
}
