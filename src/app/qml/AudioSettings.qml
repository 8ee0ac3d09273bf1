// The "Audio" tab: how far ahead guests buffer, and how the quality tier is chosen.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Window

ColumnLayout {
    id: audio

    property QtObject controller
    readonly property bool live: controller ? controller.state === "broadcasting" : false
    readonly property bool automatic: controller ? controller.isQualityAutomatic : true

    function tierIndex(name) {
        for (var i = 0; i < ViewText.tiers.length; ++i) {
            if (ViewText.tiers[i].name === name)
                return i
        }
        return -1
    }

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
                value: audio.controller ? audio.controller.bufferDelayMs : 4500
                onMoved: if (audio.controller) audio.controller.bufferDelayMs = value
            }
            Label {
                objectName: "bufferValue"
                Layout.preferredWidth: 64
                horizontalAlignment: Text.AlignRight
                text: ViewText.bufferMilliseconds(audio.controller ? audio.controller.bufferDelayMs : slider.value)
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
                onToggled: if (audio.controller) audio.controller.isQualityAutomatic = checked
            }
        }
        FormRow {
            label: "Never go below"
            Item { Layout.fillWidth: true }
            Picker {
                objectName: "floorPicker"
                Layout.preferredWidth: 300
                model: ViewText.tiers
                textRole: "text"
                valueRole: "name"
                currentIndex: audio.tierIndex(audio.controller ? audio.controller.qualityFloor : "minimum")
                onActivated: if (audio.controller) audio.controller.qualityFloor = currentValue
            }
        }
        FormRow {
            visible: !audio.automatic
            label: "Quality"
            Item { Layout.fillWidth: true }
            Picker {
                objectName: "qualityPicker"
                Layout.preferredWidth: 300
                model: ViewText.tiers
                textRole: "text"
                valueRole: "name"
                currentIndex: audio.tierIndex(audio.controller ? audio.controller.tier : "full")
                onActivated: if (audio.controller) audio.controller.setQuality(currentValue)
            }
        }
    }

    Item { Layout.fillHeight: true }
}
