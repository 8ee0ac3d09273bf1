// The main window. Its content (rave name, start button, meters, guests) lands here.
import QtQuick
import QtQuick.Window

Window {
    objectName: "mainWindow"
    title: "Zoranth Host"
    width: 620
    height: 520
    minimumWidth: 620
    minimumHeight: 520
}
