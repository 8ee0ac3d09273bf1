// Lets guests through the firewall that is active: shows the command for it, to copy and
// run by hand, and runs it through the password prompt when asked; closes itself when
// the fix ends.
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
    onAboutToShow: fix.lookUp()
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
            text: "This opens the rave's port and mDNS (UDP 5353) in the firewall so guests' phones can find this computer and connect. It installs nothing and changes nothing else."
            wrapMode: Text.Wrap
            font.pixelSize: Brand.bodySize
            color: Brand.text
        }
        Label {
            objectName: "firewallLookingUp"
            Layout.fillWidth: true
            visible: fix.manualCommand.length === 0
            text: fix.hasLookedUp ? "No firewall that Zoranth can change (ufw or firewalld) is active."
                                  : "Looking at the firewall…"
            wrapMode: Text.Wrap
            font.pixelSize: Brand.bodySize
            color: Brand.secondaryText
        }
        Rectangle {
            Layout.fillWidth: true
            visible: fix.manualCommand.length > 0
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
            visible: fix.manualCommand.length > 0
            text: "Copy command"
            symbol: "doc.on.doc"
            onClicked: fix.copyCommand()
        }
        Caption {
            Layout.fillWidth: true
            visible: fix.manualCommand.length > 0
            text: "You may be asked for your password. If you would rather not, copy the command above and run it yourself in a terminal."
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
                enabled: !fix.isRunning && fix.manualCommand.length > 0
                onClicked: fix.apply()
            }
        }
    }
}
