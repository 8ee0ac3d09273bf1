// "Guests (n)": one row per guest with its round trip, clock offset, send queue, losses,
// sync error and output latency.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Window

ColumnLayout {
    id: table

    property var clients: []
    property var health: ({})
    readonly property var columns: ["Device", "Address", "RTT", "Min RTT", "Offset", "Queue",
                                    "Dropped", "Stale", "Error", "Latency"]
    readonly property var cells: ViewText.guestTableCells(clients)

    spacing: 8

    Label {
        objectName: "clientTableHeader"
        text: "Guests (" + table.clients.length + ")"
        font.pixelSize: Brand.headlineSize
        font.bold: true
        color: Brand.text
    }
    Label {
        objectName: "clientTableEmpty"
        visible: table.cells.length === 0
        text: "Nobody has joined yet."
        font.pixelSize: Brand.bodySize
        color: Brand.secondaryText
    }
    Card {
        visible: table.cells.length > 0
        Layout.fillWidth: true
        implicitHeight: scroller.implicitHeight + 12

        ScrollView {
            id: scroller
            x: 10
            y: 6
            width: parent.width - 20
            implicitHeight: cells.implicitHeight + 4
            contentWidth: cells.implicitWidth
            clip: true

            GridLayout {
                id: cells
                objectName: "clientTable"
                columns: table.columns.length
                columnSpacing: 14
                rowSpacing: 4

                Repeater {
                    model: table.columns
                    delegate: Label {
                        required property string modelData
                        text: modelData
                        font.pixelSize: Brand.captionSize
                        font.bold: true
                        color: Brand.secondaryText
                    }
                }
                Repeater {
                    model: table.cells.length
                    delegate: Label {
                        objectName: "clientTableCell"
                        required property int index
                        readonly property string modelData: table.cells[index]
                        text: modelData
                        font.pixelSize: Brand.captionSize
                        font.family: "DejaVu Sans Mono"
                        color: Brand.text
                    }
                }
            }
        }
    }
}
