// One labelled row of a grouped form: the label on the left, the value or control on
// the right; a hairline above every row but the first.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: formRow

    property string label
    property bool separated: true
    default property alias content: valueRow.data

    Layout.fillWidth: true
    spacing: 0

    Rectangle {
        visible: formRow.separated
        Layout.fillWidth: true
        implicitHeight: 1
        color: Brand.separator
    }
    RowLayout {
        id: valueRow
        Layout.fillWidth: true
        Layout.minimumHeight: 40
        spacing: 10

        Label {
            visible: formRow.label.length > 0
            text: formRow.label
            font.pixelSize: Brand.bodySize
            color: Brand.text
            Layout.alignment: Qt.AlignVCenter
        }
    }
}
