// "Diagnostics": a collapsible group of the capture, network and guest figures behind
// the main window, then one line per guest on its sync.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Window

ColumnLayout {
    id: diagnostics

    property QtObject controller
    // The group's own state: open at first; the user may fold it away.
    property bool expanded: true

    readonly property QtObject c: controller
    readonly property var health: c ? c.health : ({})
    readonly property var clients: c ? c.clients : []
    readonly property var guestLines: expanded ? ViewText.guestDiagnosticsLines(clients) : []
    readonly property var rows: c ? [
        ["Tap format", c.tapFormatDescription],
        ["IO buffer", ViewText.ioBuffer(c.ioBufferFrames)],
        ["Chunks produced", ViewText.count(c.chunksProduced)],
        ["Ring depth", ViewText.count(c.ringDepth)],
        ["Ring overruns", ViewText.count(c.ringOverruns)],
        ["Discontinuities", ViewText.count(c.discontinuities)],
        ["Capture state", ViewText.captureState(c.diagnosis)],
        ["Comfortable at", ViewText.comfortableAt(health)],
        ["Offered load", ViewText.offeredLoad(health)],
        ["Strain", ViewText.strain(health)],
        ["Rave name", ViewText.raveName(c.advertisedName)],
        ["Address", ViewText.diagnosticsAddress(c.addresses, c.listenPort)],
        ["Guests", String(clients.length)],
        ["Sleep", ViewText.sleep(c.isKeepingAwake)],
        ["IOProc deliveries", ViewText.count(c.ioProcDeliveries)]
    ] : []

    spacing: 8

    AbstractButton {
        id: disclosure
        objectName: "diagnosticsDisclosure"
        Layout.fillWidth: true
        onClicked: diagnostics.expanded = !diagnostics.expanded
        contentItem: RowLayout {
            spacing: 6
            Icon {
                name: diagnostics.expanded ? "chevron.down" : "chevron.right"
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
        visible: diagnostics.expanded
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
                model: diagnostics.rows.length
                delegate: Label {
                    objectName: "diagnosticsLabel"
                    readonly property var modelData: diagnostics.rows[index]
                    text: modelData[0]
                    font.pixelSize: Brand.captionSize + 1
                    color: Brand.secondaryText
                    Layout.row: index
                    Layout.column: 0
                    required property int index
                }
            }
            Repeater {
                model: diagnostics.rows.length
                delegate: Label {
                    objectName: "diagnosticsValue"
                    readonly property var modelData: diagnostics.rows[index]
                    required property int index
                    readonly property string label: modelData[0]
                    text: modelData[1]
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

    Repeater {
        model: diagnostics.guestLines.length
        delegate: Label {
            objectName: "guestDiagnosticsLine"
            required property int index
            readonly property string modelData: diagnostics.guestLines[index]
            Layout.fillWidth: true
            text: modelData
            elide: Text.ElideRight
            font.family: "DejaVu Sans Mono"
            font.pixelSize: Brand.captionSize
            color: Brand.text
        }
    }
}
