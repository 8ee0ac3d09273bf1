// Lets guests through the firewall: shows what will be run, offers the command to run by
// hand, and runs the fix when asked; closes itself when the fix ends.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Sheet {
    id: sheet

    // The fix ended: null on success or cancel, else the failure message.
    signal finished(var failureMessage)

    readonly property alias model: fix
    property var outcome: null

    width: Math.min(520, (parent ? parent.width : 520) - 40)
    closePolicy: fix.isRunning ? Popup.NoAutoClose : Popup.CloseOnEscape
    onClosed: {
        finished(outcome)
        outcome = null
    }

    FirewallFixModel {
        id: fix
        objectName: "firewallFixModel"
        onFinished: function(failureMessage) {
            sheet.outcome = failureMessage === undefined ? null : failureMessage
            sheet.close()
        }
    }

    contentItem: ColumnLayout {
        spacing: 12

        RowLayout {
            spacing: 10
            Image {
                source: Brand.logo
                sourceSize: Qt.size(64, 64)
                Layout.preferredWidth: 32
                Layout.preferredHeight: 32
            }
            Label {
                objectName: "firewallTitle"
                Layout.fillWidth: true
                text: "Allow Zoranth through the firewall"
                wrapMode: Text.Wrap
                font.pixelSize: Brand.titleSize
                font.bold: true
                color: Brand.text
            }
        }
        Label {
            Layout.fillWidth: true
            text: "This adds Zoranth to the firewall's allowed list so guests' phones can connect. It installs nothing and changes nothing else."
            wrapMode: Text.Wrap
            font.pixelSize: Brand.bodySize
            color: Brand.text
        }
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: command.implicitHeight + 16
            radius: Brand.smallRadius
            color: "#F1F0F5"
            border.width: 1
            border.color: Brand.separator
            TextEdit {
                id: command
                objectName: "firewallCommand"
                anchors.fill: parent
                anchors.margins: 8
                text: fix.manualCommand
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.WrapAnywhere
                font.family: "DejaVu Sans Mono"
                font.pixelSize: 11
                color: Brand.text
            }
        }
        PlainButton {
            objectName: "copyCommandButton"
            text: "Copy command"
            symbol: "doc.on.doc"
            onClicked: fix.copyCommand()
        }
        Caption {
            Layout.fillWidth: true
            text: "You may be asked for your password. If you would rather not, copy the command above and run it yourself with sudo."
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            Layout.topMargin: 4
            spacing: 8
            BusyIndicator {
                opacity: fix.isRunning ? 1 : 0
                running: fix.isRunning
                implicitWidth: 24
                implicitHeight: 24
            }
            PlainButton {
                objectName: "firewallCancelButton"
                text: "Cancel"
                enabled: !fix.isRunning
                onClicked: {
                    sheet.outcome = null
                    sheet.close()
                }
            }
            TintButton {
                objectName: "firewallContinueButton"
                text: "Continue"
                enabled: !fix.isRunning
                onClicked: fix.apply()
            }
        }
    }
}
