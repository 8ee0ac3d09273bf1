// An alert with a title, a message and one "OK" button; dismissing it any way clears it.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Sheet {
    id: alert

    property string title
    property string message
    // Called once however the alert goes away.
    signal dismissed()

    onClosed: dismissed()

    contentItem: ColumnLayout {
        spacing: 10
        RowLayout {
            spacing: 10
            Image {
                source: Brand.logo
                sourceSize: Qt.size(64, 64)
                Layout.preferredWidth: 32
                Layout.preferredHeight: 32
            }
            Label {
                objectName: "alertTitle"
                Layout.fillWidth: true
                text: alert.title
                font.pixelSize: Brand.titleSize
                font.bold: true
                color: Brand.text
            }
        }
        Label {
            objectName: "alertMessage"
            Layout.fillWidth: true
            text: alert.message
            wrapMode: Text.Wrap
            font.pixelSize: Brand.bodySize
            color: Brand.text
        }
        TintButton {
            objectName: "alertOkButton"
            Layout.alignment: Qt.AlignRight
            Layout.topMargin: 6
            text: "OK"
            onClicked: alert.close()
        }
    }
}
