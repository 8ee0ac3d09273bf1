// During a rave nobody has joined: a quiet note after a minute, then after three the
// likely reasons found on this computer, each with its fix, and the address to type.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Window

Item {
    id: trouble

    // "fine", "quiet" or "investigate".
    property string stage: "fine"
    property var findings: []
    property string addressText
    // The finding the user chose to let through the firewall.
    signal fix(var finding)

    readonly property var rows: ViewText.troubleRows(findings)

    visible: stage === "quiet" || stage === "investigate"
    implicitHeight: stage === "quiet" ? quiet.implicitHeight : stage === "investigate" ? full.implicitHeight : 0

    Row {
        id: quiet
        objectName: "troubleQuiet"
        visible: trouble.stage === "quiet"
        spacing: 8
        Icon {
            anchors.verticalCenter: parent.verticalCenter
            name: "person.badge.clock"
            color: Brand.secondaryText
            size: 20
        }
        Label {
            anchors.verticalCenter: parent.verticalCenter
            text: "No one has joined yet."
            font.pixelSize: Brand.bodySize
            color: Brand.secondaryText
        }
    }

    Card {
        id: full
        objectName: "troubleCardFull"
        visible: trouble.stage === "investigate"
        width: parent.width
        wash: Brand.accent
        implicitHeight: fullColumn.implicitHeight + 20
        Accessible.role: Accessible.Grouping
        Accessible.name: "No one has joined yet"

        ColumnLayout {
            id: fullColumn
            anchors.fill: parent
            anchors.margins: 10
            spacing: 8

            RowLayout {
                spacing: 8
                Icon {
                    name: "person.slash"
                    color: Brand.accent
                    size: 24
                }
                Label {
                    text: "No one has joined yet"
                    font.pixelSize: Brand.headlineSize
                    font.bold: true
                    color: Brand.text
                }
            }
            Repeater {
                model: trouble.rows.length
                delegate: RowLayout {
                    objectName: "troubleFinding"
                    required property int index
                    readonly property var modelData: trouble.rows[index]
                    readonly property string actionLabel: modelData.actionLabel
                    Layout.fillWidth: true
                    spacing: 10
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 1
                        Label {
                            Layout.fillWidth: true
                            text: modelData.title
                            wrapMode: Text.Wrap
                            font.pixelSize: Brand.bodySize
                            font.bold: true
                            color: Brand.text
                        }
                        Caption {
                            Layout.fillWidth: true
                            text: modelData.detail
                        }
                    }
                    PlainButton {
                        objectName: "troubleAction"
                        text: modelData.actionLabel
                        onClicked: {
                            if (modelData.action === "firewall")
                                trouble.fix(modelData)
                            else if (modelData.action === "reveal")
                                Desktop.revealFinding(modelData)
                            else
                                Desktop.openUrl(modelData.settingsURL || "")
                        }
                    }
                }
            }
            Label {
                objectName: "troubleAllRight"
                visible: trouble.rows.length === 0
                Layout.fillWidth: true
                text: "Everything on this Mac looks right, so check that guests are on the same Wi-Fi — a guest network or a phone on cellular can't see this rave."
                wrapMode: Text.Wrap
                font.pixelSize: Brand.bodySize
                color: Brand.text
            }
            Label {
                objectName: "troubleAddress"
                Layout.fillWidth: true
                text: "They can also join by typing " + trouble.addressText + " by hand."
                wrapMode: Text.Wrap
                font.pixelSize: Brand.bodySize
                color: Brand.secondaryText
            }
        }
    }
}
