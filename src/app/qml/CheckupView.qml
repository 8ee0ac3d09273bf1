// "Check my Mac": runs the checkup of the settings a rave depends on each time it is
// shown or asked, and lists the findings, each with the one button that fixes it.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Window

ColumnLayout {
    id: checkup

    property QtObject controller
    readonly property alias model: checks
    property var pendingFix: null
    property var failureMessage: null

    spacing: 14

    CheckupModel {
        id: checks
        objectName: "checkupModel"
        controller: checkup.controller
        onFirewallRequested: function(finding) { checkup.pendingFix = finding }
    }

    onVisibleChanged: if (visible) checks.run()
    Component.onCompleted: if (visible) checks.run()
    onPendingFixChanged: if (pendingFix !== null) fixSheet.open()
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
                    text: "Check my Mac"
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
        visible: checks.hasRun && checks.findings.length === 0
        text: "Nothing to report."
        font.pixelSize: Brand.bodySize
        color: Brand.secondaryText
    }

    Repeater {
        model: checks.findings.length
        delegate: Card {
            objectName: "findingRow"
            readonly property var modelData: checks.findings[index]
            required property int index
            readonly property string reason: modelData.reason
            readonly property string actionLabel: modelData.actionLabel
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
                    name: modelData.symbol
                    color: modelData.verdict === "ok" ? Brand.good
                         : modelData.verdict === "warning" ? Brand.warning
                         : modelData.verdict === "problem" ? Brand.danger : Brand.secondaryText
                    size: 22
                }
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 3
                    Label {
                        Layout.fillWidth: true
                        text: modelData.title
                        font.pixelSize: Brand.headlineSize
                        font.bold: true
                        color: Brand.text
                    }
                    Label {
                        Layout.fillWidth: true
                        text: modelData.detail
                        wrapMode: Text.Wrap
                        font.pixelSize: Brand.bodySize
                        color: Brand.text
                    }
                    Caption {
                        Layout.fillWidth: true
                        visible: text.length > 0
                        text: modelData.fix
                    }
                    PlainButton {
                        objectName: "findingAction"
                        Layout.topMargin: 4
                        visible: modelData.actionLabel.length > 0
                        text: modelData.actionLabel
                        onClicked: checks.act(index)
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
        finding: checkup.pendingFix
        onFinished: function(failureMessage) {
            checkup.pendingFix = null
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
