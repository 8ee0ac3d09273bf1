// A section of a grouped form: a header, its rows on a card, and a caption under it.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: section

    property string title
    property string caption
    // A header in caption size and the secondary colour rather than the usual one.
    property bool quietHeader: false
    default property alias rows: rowColumn.data

    spacing: 6

    Label {
        visible: section.title.length > 0
        text: section.title
        font.pixelSize: section.quietHeader ? Brand.captionSize : Brand.headlineSize
        font.bold: !section.quietHeader
        color: section.quietHeader ? Brand.secondaryText : Brand.text
        Layout.leftMargin: 2
    }
    Card {
        Layout.fillWidth: true
        implicitHeight: rowColumn.implicitHeight + 8
        ColumnLayout {
            id: rowColumn
            x: 14
            y: 4
            width: parent.width - 28
            spacing: 0
        }
    }
    Caption {
        objectName: section.objectName.length > 0 ? section.objectName + "Caption" : ""
        visible: section.caption.length > 0
        Layout.fillWidth: true
        Layout.leftMargin: 2
        text: section.caption
    }
}
