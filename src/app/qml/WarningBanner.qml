// The capture warning under the header: why guests hear nothing, with the desktop's sound
// settings a click away where they are installed.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Rectangle {
    id: banner

    property string text

    radius: Brand.smallRadius
    color: Qt.rgba(Brand.warning.r, Brand.warning.g, Brand.warning.b, 0.12)
    implicitHeight: row.implicitHeight + 20

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.margins: 10
        spacing: 10

        Icon {
            Layout.alignment: Qt.AlignTop
            name: "exclamationmark.triangle.fill"
            color: Brand.warning
            size: 18
        }
        Label {
            objectName: "permissionWarningText"
            Layout.fillWidth: true
            text: banner.text
            wrapMode: Text.Wrap
            font.pixelSize: Brand.bodySize
            color: Brand.text
        }
        PlainButton {
            objectName: "openSoundSettingsButton"
            Layout.alignment: Qt.AlignTop
            visible: Desktop.hasSoundSettings
            text: "Open Settings"
            onClicked: Desktop.openSoundSettings()
        }
    }
}
