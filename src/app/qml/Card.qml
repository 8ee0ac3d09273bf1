// A rounded panel: white with a hairline by default, or a soft wash of a colour.
import QtQuick
import Zoranth.Host

Rectangle {
    // When set, the card is this colour at `washOpacity` instead of white.
    property color wash: "transparent"
    property real washOpacity: 0.10

    radius: Brand.radius
    color: wash.a > 0 ? Qt.rgba(wash.r, wash.g, wash.b, washOpacity) : Brand.surface
    border.width: wash.a > 0 ? 0 : 1
    border.color: Brand.separator
}
