// "Guests (n)": one row per guest with its round trip, clock offset, send queue, losses,
// sync error and output latency.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: table

    required property GuestListModel guests
    readonly property var columns: ["Device", "Address", "RTT", "Min RTT", "Offset", "Queue",
                                    "Dropped", "Stale", "Error", "Latency"]

    spacing: 8

    Label {
        objectName: "clientTableHeader"
        text: "Guests (" + table.guests.count + ")"
        font.pixelSize: Brand.headlineSize
        font.bold: true
        color: Brand.text
    }
    Label {
        objectName: "clientTableEmpty"
        visible: table.guests.count === 0
        text: "Nobody has joined yet."
        font.pixelSize: Brand.bodySize
        color: Brand.secondaryText
    }
    Card {
        visible: table.guests.count > 0
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
                        required property int index
                        required property string modelData
                        Layout.row: 0
                        Layout.column: index
                        text: modelData
                        font.pixelSize: Brand.captionSize
                        font.bold: true
                        color: Brand.secondaryText
                    }
                }
                // One row per guest: each guest's cells join the grid in its own row.
                Repeater {
                    model: table.guests
                    delegate: Repeater {
                        id: guestRow
                        required property int index
                        required property var tableCells
                        model: tableCells
                        delegate: Label {
                            objectName: "clientTableCell"
                            required property int index
                            required property string modelData
                            Layout.row: guestRow.index + 1
                            Layout.column: index
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
}
