// "Input level": one bar per channel, RMS as the bar and the held peak as a marker on a
// -60…0 dB scale, with the peak in dB beside it and the scale underneath.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: meter

    required property LevelMeterModel levels

    spacing: 6
    Accessible.role: Accessible.Indicator
    Accessible.name: levels.accessibleText

    Label {
        text: "Input level"
        font.pixelSize: Brand.headlineSize
        font.bold: true
        color: Brand.text
    }

    Repeater {
        id: channels
        model: meter.levels
        delegate: RowLayout {
            id: channel
            objectName: "meterChannel"
            required property int index
            required property real level
            required property real held
            required property string heldText
            Layout.fillWidth: true
            spacing: 8

            Label {
                Layout.preferredWidth: 12
                text: channels.count === 2 ? (channel.index === 0 ? "L" : "R") : String(channel.index + 1)
                font.pixelSize: Brand.captionSize
                font.bold: true
                color: Brand.secondaryText
            }
            Rectangle {
                id: track
                objectName: "meterTrack"
                Layout.fillWidth: true
                implicitHeight: 10
                radius: 5
                color: "#E7E5EE"
                clip: true

                Item {
                    objectName: "meterBar"
                    width: track.width * channel.level
                    height: track.height
                    clip: true
                    Rectangle {
                        width: track.width
                        height: track.height
                        radius: 5
                        gradient: Gradient {
                            orientation: Gradient.Horizontal
                            GradientStop { position: 0.0; color: "#2FB67C" }
                            GradientStop { position: 0.70; color: "#8BCB3A" }
                            GradientStop { position: 0.85; color: "#F2B233" }
                            GradientStop { position: 1.0; color: "#EF4A4A" }
                        }
                    }
                }
                Rectangle {
                    objectName: "meterPeak"
                    x: Math.min(track.width - width, Math.max(0, track.width * channel.held - width / 2))
                    width: 3
                    height: track.height
                    radius: 1
                    color: Brand.text
                    visible: channel.held > 0
                }
            }
            Label {
                Layout.preferredWidth: 44
                horizontalAlignment: Text.AlignRight
                text: channel.heldText
                font.family: "DejaVu Sans Mono"
                font.pixelSize: Brand.captionSize
                color: Brand.secondaryText
            }
        }
    }

    Item {
        objectName: "meterScale"
        Layout.fillWidth: true
        Layout.leftMargin: 20
        Layout.rightMargin: 52
        implicitHeight: 14

        Repeater {
            model: meter.levels.scale
            delegate: Label {
                objectName: "meterScaleMark"
                required property var modelData
                readonly property real position: modelData.position
                x: Math.round(parent.width * modelData.position - width / 2)
                text: modelData.text
                font.pixelSize: 10
                color: Brand.secondaryText
            }
        }
    }
}
