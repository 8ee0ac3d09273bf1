// The settings window: opened from the menu, shares the main window's models.
import QtQuick
import QtQuick.Window
import Zoranth.Host

Window {
    id: window

    required property WindowModels models
    readonly property alias view: settingsView

    objectName: "settingsWindow"
    title: "Zoranth Settings"
    width: 620
    height: 600
    minimumWidth: 560
    minimumHeight: 480
    color: Brand.window
    onVisibleChanged: if (visible) settingsView.shown()

    SettingsView {
        id: settingsView
        objectName: "settingsView"
        anchors.fill: parent
        models: window.models
    }
}
