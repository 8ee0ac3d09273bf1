// The guests in the main window: the network's one-line verdict, then one row per guest
// with its link strain, name and address, quality tier and sync state.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: list

    required property GuestListModel guests

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
                text: list.guests.summary
                elide: Text.ElideRight
                font.pixelSize: Brand.calloutSize
                font.bold: true
                color: Brand.text
            }
            Label {
                objectName: "guestListLoad"
                text: list.guests.offeredLoad
                visible: text.length > 0
                font.pixelSize: Brand.captionSize
                color: Brand.secondaryText
            }
        }
    }

    Label {
        objectName: "guestListEmpty"
        visible: list.guests.count === 0
        text: "Nobody has joined yet."
        font.pixelSize: Brand.bodySize
        color: Brand.secondaryText
        Layout.topMargin: 4
    }

    Card {
        visible: list.guests.count > 0
        Layout.fillWidth: true
        implicitHeight: guestColumn.implicitHeight

        Column {
            id: guestColumn
            width: parent.width

            Repeater {
                model: list.guests
                delegate: Item {
                    id: guest
                    objectName: "guestRow"
                    required property int index
                    required property string name
                    required property string address
                    required property real strain
                    required property string strainWord
                    required property string tierLabel
                    required property int sync
                    required property string syncText
                    required property bool needsCalibration
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
                                color: guest.strain < 0.5 ? Brand.good
                                     : guest.strain < 1 ? Brand.busy : Brand.danger
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
                                text: guest.address
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
                                color: guest.sync === GuestListModel.Syncing ? Brand.secondaryText : Brand.good
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
