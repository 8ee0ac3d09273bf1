// "Check this computer": runs the checkup of the settings a rave depends on each time it is
// shown or asked, and lists the findings, each with the one button that fixes it.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: checkup

    required property AudioCapabilityModel audio
    readonly property alias model: checks
    property bool fixing: false
    property var failureMessage: null

    spacing: 14

    CheckupModel {
        id: checks
        objectName: "checkupModel"
        audio: checkup.audio
    }
    Connections {
        target: checks.findings
        function onFirewallRequested() {
            checkup.fixing = true
            fixSheet.open()
        }
    }

    onVisibleChanged: if (visible) checks.run()
    Component.onCompleted: if (visible) checks.run()
    onFailureMessageChanged: if (failureMessage !== null) failureAlert.open()

    Card {
        Layout.fillWidth: true
        implicitHeight: header.implicitHeight + 28
        RowLayout {
            id: header
            anchors.fill: parent
            anchors.margins: 14
            spacing: 14
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 4
                Label {
                    text: "Check this computer"
                    font.pixelSize: Brand.titleSize
                    font.bold: true
                    color: Brand.text
                }
                Caption {
                    Layout.fillWidth: true
                    text: "Checks the settings a rave depends on. Nothing here changes anything until you press a button."
                }
            }
            TintButton {
                objectName: "checkNowButton"
                text: checks.isRunning ? "Checking…" : "Check now"
                enabled: !checks.isRunning
                onClicked: checks.run()
            }
        }
    }

    Label {
        objectName: "nothingToReport"
        visible: checks.hasRun && checks.findings.count === 0
        text: "Nothing to report."
        font.pixelSize: Brand.bodySize
        color: Brand.secondaryText
    }

    Repeater {
        model: checks.findings
        delegate: Card {
            id: finding
            objectName: "findingRow"
            required property int index
            required property string title
            required property string detail
            required property string fix
            required property int verdict
            required property string symbol
            required property string actionLabel
            Layout.fillWidth: true
            implicitHeight: findingRow.implicitHeight + 24

            RowLayout {
                id: findingRow
                anchors.fill: parent
                anchors.margins: 12
                spacing: 12
                Icon {
                    objectName: "verdictSymbol"
                    Layout.alignment: Qt.AlignTop
                    name: finding.symbol
                    color: finding.verdict === FindingListModel.Ok ? Brand.good
                         : finding.verdict === FindingListModel.Warning ? Brand.warning
                         : finding.verdict === FindingListModel.Problem ? Brand.danger : Brand.secondaryText
                    size: 22
                }
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 3
                    Label {
                        Layout.fillWidth: true
                        text: finding.title
                        font.pixelSize: Brand.headlineSize
                        font.bold: true
                        color: Brand.text
                    }
                    Label {
                        Layout.fillWidth: true
                        text: finding.detail
                        wrapMode: Text.Wrap
                        font.pixelSize: Brand.bodySize
                        color: Brand.text
                    }
                    Caption {
                        Layout.fillWidth: true
                        visible: text.length > 0
                        text: finding.fix
                    }
                    PlainButton {
                        objectName: "findingAction"
                        Layout.topMargin: 4
                        visible: finding.actionLabel.length > 0
                        text: finding.actionLabel
                        onClicked: checks.findings.act(finding.index)
                    }
                }
            }
        }
    }

    Item { Layout.fillHeight: true }

    FirewallFixSheet {
        id: fixSheet
        objectName: "checkupFirewallSheet"
        parent: Overlay.overlay
        onFinished: function(failureMessage) {
            checkup.fixing = false
            if (failureMessage !== null && failureMessage !== undefined)
                checkup.failureMessage = failureMessage
            checks.run()
        }
    }
    AlertDialog {
        id: failureAlert
        objectName: "checkupFirewallAlert"
        parent: Overlay.overlay
        title: "Firewall"
        message: checkup.failureMessage || ""
        onDismissed: checkup.failureMessage = null
    }
}
