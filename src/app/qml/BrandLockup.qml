// The product's mark and name, as the window's masthead.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import Zoranth.Host

Row {
    spacing: 10

    Image {
        anchors.verticalCenter: parent.verticalCenter
        width: 34
        height: 34
        sourceSize: Qt.size(68, 68)
        source: Brand.logo
        smooth: true
    }
    Label {
        anchors.verticalCenter: parent.verticalCenter
        textFormat: Text.StyledText
        text: "Zoranth <font color=\"" + Brand.tint + "\">Host</font>"
        font.pixelSize: 20
        font.bold: true
        font.letterSpacing: -0.3
        color: Brand.text
    }
}
