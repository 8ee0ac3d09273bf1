// The "Audio" tab: how far ahead guests buffer, and how the quality tier is chosen.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: audio

    required property RaveModel rave
    required property QualityModel quality
    readonly property bool live: rave.isLive
    readonly property bool automatic: quality.isQualityAutomatic

    spacing: 18

    FormSection {
        objectName: "bufferSection"
        Layout.fillWidth: true
        title: "Buffer"
        caption: audio.live
            ? "End the rave to change the buffer."
            : "How far ahead guests buffer. Higher rides out Wi-Fi hiccups — including a phone roaming between access points — at the cost of a longer wait when someone joins."

        FormRow {
            separated: false
            TintSlider {
                id: slider
                objectName: "bufferSlider"
                Layout.fillWidth: true
                from: 1000
                to: 5000
                stepSize: 100
                snapMode: Slider.SnapAlways
                enabled: !audio.live
                value: audio.rave.bufferDelayMs
                onMoved: audio.rave.bufferDelayMs = value
            }
            Label {
                objectName: "bufferValue"
                Layout.preferredWidth: 64
                horizontalAlignment: Text.AlignRight
                text: audio.rave.bufferMillisecondsText
                font.family: "DejaVu Sans Mono"
                font.pixelSize: Brand.bodySize
                color: audio.live ? Brand.secondaryText : Brand.text
            }
        }
    }

    FormSection {
        objectName: "qualitySection"
        Layout.fillWidth: true
        title: "Quality"
        caption: "Each guest is adjusted on their own. Someone who walks into a weak spot drops without affecting anyone else, and comes back up when they return."

        FormRow {
            separated: false
            label: "Adjust automatically"
            Item { Layout.fillWidth: true }
            Toggle {
                objectName: "automaticSwitch"
                checked: audio.automatic
                onToggled: audio.quality.isQualityAutomatic = checked
            }
        }
        FormRow {
            label: "Never go below"
            Item { Layout.fillWidth: true }
            Picker {
                objectName: "floorPicker"
                Layout.preferredWidth: 300
                model: audio.quality.tierTexts
                currentIndex: audio.quality.qualityFloor
                onActivated: function(index) { audio.quality.qualityFloor = index }
            }
        }
        FormRow {
            visible: !audio.automatic
            label: "Quality"
            Item { Layout.fillWidth: true }
            Picker {
                objectName: "qualityPicker"
                Layout.preferredWidth: 300
                model: audio.quality.tierTexts
                currentIndex: audio.quality.tier
                onActivated: function(index) { audio.quality.setQuality(index) }
            }
        }
    }

    Item { Layout.fillHeight: true }
}
