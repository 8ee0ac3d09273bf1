// The settings: four tabs, "Audio", "Network", "Diagnostics" and "Check this computer", each
// over its own models.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

Pane {
    id: settings

    required property WindowModels models
    property alias currentIndex: tabs.currentIndex

    implicitWidth: 620
    implicitHeight: 600
    padding: 0
    palette.highlight: Brand.tint
    palette.window: Brand.window
    palette.base: Brand.surface
    palette.button: Brand.surface
    background: Rectangle { color: Brand.window }

    // The window came up: the checkup runs each time its tab is shown.
    function shown() {
        if (tabs.currentIndex === 3)
            checkupView.model.run()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: tabs.implicitHeight + 16
            color: Brand.surface

            TabBar {
                id: tabs
                objectName: "settingsTabs"
                anchors.centerIn: parent
                spacing: 4
                background: Item {}

                Repeater {
                    model: [
                        { name: "audioTab", title: "Audio", symbol: "waveform" },
                        { name: "networkTab", title: "Network", symbol: "wifi" },
                        { name: "diagnosticsTab", title: "Diagnostics", symbol: "stethoscope" },
                        { name: "checkupTab", title: "Check this computer", symbol: "checklist" }
                    ]
                    delegate: TabButton {
                        id: tab
                        required property var modelData
                        objectName: modelData.name
                        readonly property string symbol: modelData.symbol
                        text: modelData.title
                        width: 104
                        padding: 6
                        contentItem: ColumnLayout {
                            spacing: 3
                            Icon {
                                Layout.alignment: Qt.AlignHCenter
                                name: tab.modelData.symbol
                                size: 26
                                color: tab.checked ? Brand.tint : Brand.secondaryText
                            }
                            Label {
                                Layout.alignment: Qt.AlignHCenter
                                text: tab.text
                                font.pixelSize: Brand.captionSize + 0.5
                                font.bold: tab.checked
                                color: tab.checked ? Brand.tint : Brand.secondaryText
                            }
                        }
                        background: Rectangle {
                            radius: 8
                            color: tab.checked ? Brand.tintSoft : tab.hovered ? "#F3F2F7" : "transparent"
                        }
                    }
                }
            }
            Rectangle {
                anchors.bottom: parent.bottom
                width: parent.width
                height: 1
                color: Brand.separator
            }
        }

        StackLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            currentIndex: tabs.currentIndex

            ScrollView {
                id: audioScroll
                contentWidth: availableWidth
                AudioSettings {
                    objectName: "audioSettings"
                    x: 24
                    y: 20
                    width: audioScroll.availableWidth - 48
                    rave: settings.models.rave
                    quality: settings.models.quality
                }
            }
            ScrollView {
                id: networkScroll
                contentWidth: availableWidth
                NetworkSettings {
                    objectName: "networkSettings"
                    x: 24
                    y: 20
                    width: networkScroll.availableWidth - 48
                    network: settings.models.network
                    rave: settings.models.rave
                }
            }
            ScrollView {
                id: diagnosticsScroll
                contentWidth: availableWidth
                ColumnLayout {
                    x: 16
                    y: 16
                    width: diagnosticsScroll.availableWidth - 32
                    spacing: 14
                    DiagnosticsView {
                        objectName: "diagnosticsView"
                        Layout.fillWidth: true
                        diagnostics: settings.models.diagnostics
                        guests: settings.models.guests
                    }
                    Divider {}
                    ClientTableView {
                        objectName: "clientTableView"
                        Layout.fillWidth: true
                        Layout.bottomMargin: 16
                        guests: settings.models.guests
                    }
                }
            }
            ScrollView {
                id: checkupScroll
                contentWidth: availableWidth
                CheckupView {
                    id: checkupView
                    objectName: "checkupView"
                    x: 24
                    y: 20
                    width: checkupScroll.availableWidth - 48
                    audio: settings.models.audio
                }
            }
        }
    }
}
