// During a rave nobody has joined: a quiet note after a minute, then after three the
// likely reasons found on this computer, each with its fix, and the address to type.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Item {
    id: card

    required property TroubleModel trouble
    readonly property int stage: trouble.stage
    // The user chose to let guests through the firewall.
    signal fix()

    visible: stage !== TroubleModel.Fine
    implicitHeight: stage === TroubleModel.Quiet ? quiet.implicitHeight
                  : stage === TroubleModel.Investigate ? full.implicitHeight : 0

    Connections {
        target: card.trouble.findings
        function onFirewallRequested() { card.fix() }
    }

    Row {
        id: quiet
        objectName: "troubleQuiet"
        visible: card.stage === TroubleModel.Quiet
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
        visible: card.stage === TroubleModel.Investigate
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
                model: card.trouble.findings
                delegate: RowLayout {
                    id: row
                    objectName: "troubleFinding"
                    required property int index
                    required property string title
                    required property string detail
                    required property string actionLabel
                    Layout.fillWidth: true
                    spacing: 10
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 1
                        Label {
                            Layout.fillWidth: true
                            text: row.title
                            wrapMode: Text.Wrap
                            font.pixelSize: Brand.bodySize
                            font.bold: true
                            color: Brand.text
                        }
                        Caption {
                            Layout.fillWidth: true
                            text: row.detail
                        }
                    }
                    PlainButton {
                        objectName: "troubleAction"
                        text: row.actionLabel
                        onClicked: card.trouble.findings.act(row.index)
                    }
                }
            }
            Label {
                objectName: "troubleAllRight"
                visible: card.trouble.findings.count === 0
                Layout.fillWidth: true
                text: "Everything on this computer looks right, so check that guests are on the same Wi-Fi — a guest network or a phone on cellular can't see this rave."
                wrapMode: Text.Wrap
                font.pixelSize: Brand.bodySize
                color: Brand.text
            }
            Label {
                objectName: "troubleAddress"
                Layout.fillWidth: true
                text: "They can also join by typing " + card.trouble.addressText + " by hand."
                wrapMode: Text.Wrap
                font.pixelSize: Brand.bodySize
                color: Brand.secondaryText
            }
        }
    }
}
