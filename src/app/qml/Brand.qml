// The brand's colours and type sizes, shared by every view.
pragma Singleton
import QtQuick

QtObject {
    readonly property color tint: "#7C4DFF"
    readonly property color tintPressed: "#6638E0"
    readonly property color tintSoft: "#EFE9FF"
    readonly property color accent: "#1FA7A0"
    readonly property color warning: "#E8890C"
    readonly property color danger: "#E5484D"
    readonly property color live: "#FF2D6F"
    readonly property color good: "#2FA84F"
    readonly property color busy: "#E0A000"

    readonly property color window: "#F4F3F8"
    readonly property color surface: "#FFFFFF"
    readonly property color separator: "#E3E1EA"
    readonly property color text: "#1D1B24"
    readonly property color secondaryText: "#6E6A7C"

    readonly property int radius: 10
    readonly property int smallRadius: 6
    readonly property real captionSize: 11
    readonly property real bodySize: 13
    readonly property real calloutSize: 12.5
    readonly property real headlineSize: 13.5
    readonly property real titleSize: 17

    readonly property string logo: "qrc:/Zoranth/Host/brand/logo.svg"
    readonly property string productName: "Zoranth Host"
}
