#include "app/trouble_model.h"

#include <utility>

namespace zoranth {
namespace {

TroubleModel::Stage stageOf(const DroughtWatch::Stage& stage) {
    switch (stage.kind) {
        case DroughtWatch::Stage::Case::quiet:
            return TroubleModel::Stage::Quiet;
        case DroughtWatch::Stage::Case::investigate:
            return TroubleModel::Stage::Investigate;
        case DroughtWatch::Stage::Case::fine:
            break;
    }
    return TroubleModel::Stage::Fine;
}

}  // namespace

TroubleModel::TroubleModel(QObject* parent) : QObject(parent) {
    findings_.setParent(this);
}

void TroubleModel::show(const DroughtWatch::Stage& stage,
                        std::vector<SystemCheckup::Finding> findings, const QString& addressText) {
    const Stage next = stageOf(stage);
    if (std::exchange(stage_, next) != next) {
        emit stageChanged();
    }
    findings_.show(std::move(findings));
    if (std::exchange(addressText_, addressText) != addressText) {
        emit addressTextChanged();
    }
}

}  // namespace zoranth
