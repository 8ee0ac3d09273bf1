// Everything a host sees during a rave, top to bottom: the masthead and the rave's name,
// what blocks capture, the start/end button with the rave's status, the capture warning,
// the level meters, the no-guest card and the speakers, then the guests. Each part binds
// to its own model; the view keeps only whether the firewall fix is open, a fix's
// failure, and the main button's size.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Item {
    id: root

    required property WindowModels models
    readonly property RaveModel rave: models.rave
    readonly property bool live: rave.isLive

    // Whether the firewall fix is open, and a fix's failure message (null when none).
    property bool fixing: false
    property var fixFailure: null
    // The main button's measured size, which the LIVE badge matches.
    readonly property size buttonSize: Qt.size(mainButton.width, mainButton.height)

    implicitWidth: 620
    implicitHeight: 520

    Component.onCompleted: {
        if (rave.state === RaveModel.Idle || rave.state === RaveModel.Failed)
            models.audio.check(AudioCapabilityModel.Launch)
    }

    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: mainButton.enabled && !raveName.activeFocus
        onActivated: mainButton.clicked()
    }

    ScrollView {
        id: scroll
        anchors.fill: parent
        contentWidth: availableWidth

        ColumnLayout {
            id: column
            x: 20
            y: 20
            width: scroll.availableWidth - 40
            spacing: 14

            // 1. Masthead and the rave's name.
            RowLayout {
                Layout.fillWidth: true
                spacing: 12
                BrandLockup {
                    Layout.alignment: Qt.AlignVCenter
                }
                Item { Layout.fillWidth: true }
                Label {
                    objectName: "raveNameLabel"
                    Layout.alignment: Qt.AlignVCenter
                    text: "Rave name"
                    font.pixelSize: Brand.bodySize
                    color: Brand.secondaryText
                }
                TextField {
                    id: raveName
                    objectName: "raveNameField"
                    readonly property string helpText: root.live
                        ? "End the rave to rename it — guests are connected to this name."
                        : "What guests see when they look for your rave."
                    Layout.alignment: Qt.AlignVCenter
                    Layout.preferredWidth: 190
                    placeholderText: "Rave name"
                    text: root.rave.raveName
                    enabled: !root.live
                    font.pixelSize: Brand.bodySize
                    onTextEdited: root.rave.raveName = text
                    background: Rectangle {
                        implicitHeight: 30
                        radius: 8
                        color: raveName.enabled ? Brand.surface : "#EDECF2"
                        border.width: raveName.activeFocus ? 2 : 1
                        border.color: raveName.activeFocus ? Brand.tint : Brand.separator
                    }
                    HoverHandler { id: nameHover }
                    ToolTip.visible: nameHover.hovered
                    ToolTip.text: helpText
                }
            }

            // 2. Capture blocked, or being checked.
            BlockedCard {
                objectName: "blockedCard"
                Layout.fillWidth: true
                audio: root.models.audio
            }

            // 3. Start or end, and how the rave is doing. The row is a layout of its own
            // (not one nested in the column), so a part appearing or going away re-lays it
            // even when the row keeps its size.
            Item {
                Layout.fillWidth: true
                implicitHeight: header.implicitHeight

                RowLayout {
                    id: header
                    anchors.fill: parent
                    spacing: 12

                    TintButton {
                        id: mainButton
                        objectName: "mainButton"
                        large: true
                        text: root.live ? "End Rave" : "Start Rave"
                        enabled: root.rave.state !== RaveModel.Starting
                        onClicked: {
                            if (root.live)
                                root.rave.stop()
                            else
                                root.rave.start()
                        }
                    }
                    LiveBadge {
                        objectName: "liveBadge"
                        visible: root.live
                        Layout.preferredWidth: root.buttonSize.width > 0 ? root.buttonSize.width : implicitWidth
                        Layout.preferredHeight: root.buttonSize.height > 0 ? root.buttonSize.height : implicitHeight
                    }
                    Label {
                        objectName: "listeningText"
                        visible: root.live
                        Layout.fillWidth: true
                        text: root.models.guests.listeningText
                        wrapMode: Text.Wrap
                        maximumLineCount: 2
                        elide: Text.ElideRight
                        font.pixelSize: Brand.bodySize
                        font.bold: true
                        color: Brand.text
                    }
                    Label {
                        objectName: "statusText"
                        visible: !root.live
                        Layout.fillWidth: true
                        text: root.rave.statusText
                        wrapMode: Text.Wrap
                        maximumLineCount: 3
                        font.pixelSize: Brand.bodySize
                        color: root.rave.state === RaveModel.Failed ? Brand.danger : Brand.secondaryText
                    }
                    Label {
                        id: bufferLabel
                        objectName: "bufferText"
                        readonly property string helpText: root.live
                            ? "How far ahead guests buffer. End the rave to change it in Settings."
                            : "How far ahead guests buffer. Change it in Settings."
                        text: root.rave.bufferText
                        font.pixelSize: Brand.captionSize
                        color: Brand.secondaryText
                        padding: 5
                        leftPadding: 9
                        rightPadding: 9
                        background: Rectangle {
                            radius: height / 2
                            color: "#ECEAF2"
                        }
                        HoverHandler { id: bufferHover }
                        ToolTip.visible: bufferHover.hovered
                        ToolTip.text: helpText
                    }
                }
            }

            // 4. Capture delivers nothing.
            WarningBanner {
                objectName: "permissionWarning"
                Layout.fillWidth: true
                visible: text.length > 0
                text: root.rave.permissionWarning
            }

            // How a phone joins while the rave is live: the code to scan and the link.
            Card {
                id: join
                objectName: "joinCard"
                Layout.fillWidth: true
                visible: root.live && root.rave.joinLink.length > 0
                implicitHeight: joinRow.implicitHeight + 24

                RowLayout {
                    id: joinRow
                    anchors.fill: parent
                    anchors.margins: 12
                    spacing: 14
                    Image {
                        objectName: "joinCode"
                        Layout.preferredWidth: 112
                        Layout.preferredHeight: 112
                        source: join.visible ? "image://joincode/" + encodeURIComponent(root.rave.joinLink) : ""
                        sourceSize: Qt.size(224, 224)
                        smooth: false
                        fillMode: Image.PreserveAspectFit
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 4
                        Label {
                            text: "Scan to join"
                            font.pixelSize: Brand.headlineSize
                            font.bold: true
                            color: Brand.text
                        }
                        TextEdit {
                            objectName: "joinLink"
                            Layout.fillWidth: true
                            text: root.rave.joinLink
                            readOnly: true
                            selectByMouse: true
                            font.family: "DejaVu Sans Mono"
                            font.pixelSize: Brand.bodySize
                            color: Brand.tint
                        }
                        Caption {
                            Layout.fillWidth: true
                            text: "Guests on the same network point their phone's camera at the code, or open the link in its browser."
                        }
                    }
                }
            }

            // 5. Levels.
            Card {
                Layout.fillWidth: true
                implicitHeight: meters.implicitHeight + 24
                LevelMeterView {
                    id: meters
                    objectName: "levelMeter"
                    anchors.fill: parent
                    anchors.margins: 12
                    levels: root.models.levels
                }
            }

            // 6. Nobody joining, and this computer's own speakers.
            TroubleCard {
                objectName: "troubleCard"
                Layout.fillWidth: true
                visible: root.live && trouble.stage !== TroubleModel.Fine
                trouble: root.models.trouble
                onFix: root.openFirewallFix()
            }
            SilenceSection {
                objectName: "silenceSection"
                Layout.fillWidth: true
                visible: root.live || speakers.weMuted
                speakers: root.models.speakers
            }

            // 7, 8. The guests.
            Divider {}
            GuestListView {
                objectName: "guestList"
                Layout.fillWidth: true
                Layout.bottomMargin: 20
                guests: root.models.guests
            }
        }
    }

    FirewallFixSheet {
        id: fixSheet
        objectName: "rootFirewallSheet"
        parent: Overlay.overlay
        onFinished: function(failureMessage) {
            root.fixing = false
            if (failureMessage !== null && failureMessage !== undefined)
                root.fixFailure = failureMessage
        }
    }
    AlertDialog {
        id: fixAlert
        objectName: "rootFirewallAlert"
        parent: Overlay.overlay
        title: "Firewall"
        message: root.fixFailure || ""
        onDismissed: root.fixFailure = null
    }

    function openFirewallFix() {
        fixing = true
        fixSheet.open()
    }

    onFixFailureChanged: if (fixFailure !== null) fixAlert.open()
}
