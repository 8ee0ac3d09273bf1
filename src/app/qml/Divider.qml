// A hairline across its parent.
import QtQuick
import QtQuick.Layouts
import Zoranth.Host

Rectangle {
    Layout.fillWidth: true
    implicitHeight: 1
    color: Brand.separator
}
