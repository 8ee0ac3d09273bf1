// A rave nobody joins, as the main window's trouble card shows it: how long the drought
// has lasted (a quiet note after a minute, the full card after three), the likely
// reasons found on this computer with their fixes, and the address guests can type by
// hand. The broadcast controller shows the session's drought watch here. Main thread
// only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>

#include <vector>

#include "app/finding_list_model.h"
#include "host/checks/system_checkup.h"
#include "host/session/drought_watch.h"

namespace zoranth {

class TroubleModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The trouble card's model belongs to the window's models.")
    Q_PROPERTY(Stage stage READ stage NOTIFY stageChanged)
    Q_PROPERTY(FindingListModel* findings READ findings CONSTANT)
    // "“name”  ·  addresses : port".
    Q_PROPERTY(QString addressText READ addressText NOTIFY addressTextChanged)

  public:
    enum class Stage { Fine, Quiet, Investigate };
    Q_ENUM(Stage)

    explicit TroubleModel(QObject* parent = nullptr);

    Stage stage() const { return stage_; }
    FindingListModel* findings() { return &findings_; }
    QString addressText() const { return addressText_; }

    void show(const DroughtWatch::Stage& stage, std::vector<SystemCheckup::Finding> findings,
              const QString& addressText);

  signals:
    void stageChanged();
    void addressTextChanged();

  private:
    Stage stage_ = Stage::Fine;
    FindingListModel findings_{FindingListModel::Place::troubleCard};
    QString addressText_;
};

}  // namespace zoranth
