// "Diagnostics": a collapsible group of the capture, network and guest figures behind
// the main window, then one line per guest on its sync.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: view

    required property DiagnosticsModel diagnostics
    required property GuestListModel guests
    // The group's own state: open at first; the user may fold it away.
    property bool expanded: true

    spacing: 8

    AbstractButton {
        id: disclosure
        objectName: "diagnosticsDisclosure"
        Layout.fillWidth: true
        onClicked: view.expanded = !view.expanded
        contentItem: RowLayout {
            spacing: 6
            Icon {
                name: view.expanded ? "chevron.down" : "chevron.right"
                color: Brand.secondaryText
                size: 12
            }
            Label {
                text: "Diagnostics"
                font.pixelSize: Brand.headlineSize
                font.bold: true
                color: Brand.text
            }
            Item { Layout.fillWidth: true }
        }
        background: Item {}
    }

    Card {
        visible: view.expanded
        Layout.fillWidth: true
        implicitHeight: grid.implicitHeight + 16

        GridLayout {
            id: grid
            x: 14
            y: 8
            width: parent.width - 28
            columns: 2
            columnSpacing: 16
            rowSpacing: 5

            Repeater {
                model: view.diagnostics
                delegate: Label {
                    objectName: "diagnosticsLabel"
                    required property int index
                    required property string label
                    text: label
                    font.pixelSize: Brand.captionSize + 1
                    color: Brand.secondaryText
                    Layout.row: index
                    Layout.column: 0
                }
            }
            Repeater {
                model: view.diagnostics
                delegate: Label {
                    objectName: "diagnosticsValue"
                    required property int index
                    required property string label
                    required property string value
                    text: value
                    Layout.row: index
                    Layout.column: 1
                    Layout.fillWidth: true
                    elide: Text.ElideRight
                    font.family: "DejaVu Sans Mono"
                    font.pixelSize: Brand.captionSize + 0.5
                    color: Brand.text
                }
            }
        }
    }

    RowLayout {
        visible: view.expanded
        Layout.fillWidth: true
        spacing: 10
        Label {
            text: "Host log"
            font.pixelSize: Brand.captionSize + 1
            color: Brand.secondaryText
        }
        Label {
            objectName: "hostLogPath"
            Layout.fillWidth: true
            text: view.diagnostics.hostLogPath
            elide: Text.ElideMiddle
            font.family: "DejaVu Sans Mono"
            font.pixelSize: Brand.captionSize + 0.5
            color: Brand.text
        }
        PlainButton {
            objectName: "showLogButton"
            text: "Show in Files"
            symbol: "folder"
            onClicked: Desktop.showInFiles(view.diagnostics.hostLogPath)
        }
    }

    Repeater {
        model: view.expanded ? view.guests : null
        delegate: Label {
            objectName: "guestDiagnosticsLine"
            required property string diagnosticsLine
            Layout.fillWidth: true
            text: diagnosticsLine
            elide: Text.ElideRight
            font.family: "DejaVu Sans Mono"
            font.pixelSize: Brand.captionSize
            color: Brand.text
        }
    }
}
