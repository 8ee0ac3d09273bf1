// Explanatory text in caption size and the secondary colour.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import Zoranth.Host

Label {
    font.pixelSize: Brand.captionSize
    color: Brand.secondaryText
    wrapMode: Text.Wrap
    lineHeight: 1.1
}
