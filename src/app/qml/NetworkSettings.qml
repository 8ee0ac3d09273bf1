// The "Network" tab: this computer's connection with advice on it, what the guests' own
// measurements say about the network, and how many guests a rave takes.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Layouts
import Zoranth.Host

ColumnLayout {
    id: tab

    required property NetworkModel network
    required property RaveModel rave

    spacing: 18

    FormSection {
        objectName: "thisMacSection"
        Layout.fillWidth: true
        title: "This computer"

        FormRow {
            separated: false
            label: "Connection"
            Item { Layout.fillWidth: true }
            Label {
                objectName: "connectionValue"
                Layout.maximumWidth: 360
                horizontalAlignment: Text.AlignRight
                text: tab.network.linkDescription
                wrapMode: Text.Wrap
                font.pixelSize: Brand.bodySize
                color: Brand.secondaryText
            }
        }
        FormRow {
            objectName: "ethernetNote"
            visible: tab.network.attachment === NetworkModel.Ethernet
            Icon {
                Layout.alignment: Qt.AlignTop
                Layout.topMargin: 9
                name: "checkmark.circle.fill"
                color: Brand.good
                size: 15
            }
            Caption {
                Layout.fillWidth: true
                Layout.topMargin: 8
                Layout.bottomMargin: 8
                text: "Wired — the best setup. A computer on Wi-Fi sends every guest's copy into the air before the access point sends it back out, roughly halving what the network can carry."
                color: Brand.good
            }
        }
        Repeater {
            model: tab.network.advice
            delegate: FormRow {
                objectName: "adviceRow"
                required property string modelData
                readonly property string text: modelData
                Icon {
                    Layout.alignment: Qt.AlignTop
                    Layout.topMargin: 9
                    name: "lightbulb"
                    color: Brand.warning
                    size: 15
                }
                Label {
                    Layout.fillWidth: true
                    Layout.topMargin: 8
                    Layout.bottomMargin: 8
                    text: modelData
                    wrapMode: Text.Wrap
                    font.pixelSize: Brand.bodySize
                    color: Brand.text
                }
            }
        }
    }

    FormSection {
        objectName: "guestsMeasuringSection"
        Layout.fillWidth: true
        title: "What your guests are measuring"
        quietHeader: true
        caption: "This is what the guests' phones report, which is the only view of their Wi-Fi a wired computer gets. It describes the number of people connected now — it cannot promise a number you have not reached."

        FormRow {
            separated: false
            label: "Round trip"
            Item { Layout.fillWidth: true }
            Label {
                objectName: "roundTripValue"
                text: tab.network.roundTrip
                font.pixelSize: Brand.bodySize
                color: Brand.secondaryText
            }
        }
        FormRow {
            label: "Above that"
            Item { Layout.fillWidth: true }
            Label {
                objectName: "aboveThatValue"
                text: tab.network.aboveThat
                font.pixelSize: Brand.bodySize
                color: Brand.secondaryText
            }
        }
    }

    FormSection {
        objectName: "guestLimitSection"
        Layout.fillWidth: true
        title: "Guests"
        caption: "Connections beyond this number are turned away. A change applies at once; nobody already listening is dropped."

        FormRow {
            separated: false
            label: "Most guests in a rave"
            Item { Layout.fillWidth: true }
            NumberBox {
                objectName: "guestLimitBox"
                Layout.preferredWidth: 110
                from: 1
                to: tab.rave.maxGuestsCeiling
                value: tab.rave.maxGuests
                onValueModified: tab.rave.maxGuests = value
            }
        }
    }

    Item { Layout.fillHeight: true }
}
