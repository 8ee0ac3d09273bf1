// The guests in the main window: the network's one-line verdict, then one row per guest
// with its link strain, name and address, quality tier and sync state.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Window

ColumnLayout {
    id: list

    property var clients: []
    property var health: ({})
    property var tiers: ({})
    readonly property var rows: ViewText.guestRows(clients, health, tiers)

    spacing: 8

    // A layout of its own, so the load figure appearing re-lays the line.
    Item {
        Layout.fillWidth: true
        implicitHeight: headline.implicitHeight

        RowLayout {
            id: headline
            anchors.fill: parent
            spacing: 8
            Icon {
                name: "person.2.fill"
                color: Brand.tint
                size: 22
            }
            Label {
                objectName: "guestListSummary"
                Layout.fillWidth: true
                text: list.health && list.health.summary !== undefined ? list.health.summary : ""
                elide: Text.ElideRight
                font.pixelSize: Brand.calloutSize
                font.bold: true
                color: Brand.text
            }
            Label {
                objectName: "guestListLoad"
                text: ViewText.offeredLoadCaption(list.health)
                visible: text.length > 0
                font.pixelSize: Brand.captionSize
                color: Brand.secondaryText
            }
        }
    }

    Label {
        objectName: "guestListEmpty"
        visible: list.rows.length === 0
        text: "Nobody has joined yet."
        font.pixelSize: Brand.bodySize
        color: Brand.secondaryText
        Layout.topMargin: 4
    }

    Card {
        visible: list.rows.length > 0
        Layout.fillWidth: true
        implicitHeight: guestColumn.implicitHeight

        Column {
            id: guestColumn
            width: parent.width

            Repeater {
                model: list.rows.length
                delegate: Item {
                    id: guest
                    objectName: "guestRow"
                    readonly property var modelData: list.rows[index]
                    required property int index
                    readonly property string strainWord: modelData.strainWord
                    readonly property string name: modelData.name
                    readonly property string tierLabel: modelData.tierLabel
                    readonly property string syncText: modelData.syncText
                    readonly property bool needsCalibration: modelData.needsCalibration
                    width: guestColumn.width
                    height: 40

                    Rectangle {
                        visible: guest.index > 0
                        width: parent.width - 24
                        x: 12
                        height: 1
                        color: Brand.separator
                    }
                    RowLayout {
                        anchors.fill: parent
                        anchors.leftMargin: 12
                        anchors.rightMargin: 12
                        spacing: 10

                        Row {
                            objectName: "strainIndicator"
                            readonly property string helpText: "This guest's Wi-Fi link over the last 30 seconds"
                            Layout.preferredWidth: 104
                            spacing: 6
                            Rectangle {
                                objectName: "strainDot"
                                anchors.verticalCenter: parent.verticalCenter
                                width: 7
                                height: 7
                                radius: 3.5
                                color: guest.modelData.strain < 0.5 ? Brand.good
                                     : guest.modelData.strain < 1 ? Brand.busy : Brand.danger
                            }
                            Label {
                                text: guest.strainWord
                                font.pixelSize: Brand.captionSize
                                color: Brand.secondaryText
                            }
                            HoverHandler { id: strainHover }
                            ToolTip.visible: strainHover.hovered
                            ToolTip.text: helpText
                        }
                        Column {
                            Layout.fillWidth: true
                            Label {
                                width: parent.width
                                text: guest.name
                                elide: Text.ElideRight
                                font.pixelSize: Brand.bodySize
                                font.bold: true
                                color: Brand.text
                            }
                            Label {
                                width: parent.width
                                text: guest.modelData.address
                                elide: Text.ElideMiddle
                                font.pixelSize: Brand.captionSize
                                color: Brand.secondaryText
                            }
                        }
                        Rectangle {
                            visible: guest.tierLabel.length > 0
                            implicitWidth: tierText.implicitWidth + 14
                            implicitHeight: 20
                            radius: 10
                            color: Brand.tintSoft
                            Label {
                                id: tierText
                                anchors.centerIn: parent
                                text: guest.tierLabel
                                font.pixelSize: Brand.captionSize
                                font.bold: true
                                color: Brand.tint
                            }
                        }
                        Row {
                            Layout.preferredWidth: 78
                            spacing: 5
                            Label {
                                anchors.verticalCenter: parent.verticalCenter
                                text: guest.syncText
                                font.pixelSize: Brand.captionSize
                                color: guest.modelData.sync === "syncing" ? Brand.secondaryText : Brand.good
                            }
                            Icon {
                                objectName: "calibrationSymbol"
                                readonly property string helpText: "Headphones not calibrated"
                                anchors.verticalCenter: parent.verticalCenter
                                visible: guest.needsCalibration
                                name: "headphones"
                                color: Brand.warning
                                size: 14
                                HoverHandler { id: headphonesHover }
                                ToolTip.visible: headphonesHover.hovered
                                ToolTip.text: helpText
                            }
                        }
                    }
                }
            }
        }
    }
}
