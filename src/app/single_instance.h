// One window per user: the first launch holds a lock file and listens on a local socket
// in the user's runtime folder; a later launch asks it to bring its window forward and
// leaves. Main thread only; the first launch's requests arrive through its event loop.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <chrono>

namespace zoranth {

class SingleInstance : public QObject {
    Q_OBJECT

  public:
    enum class Outcome {
        first,       // this launch is the one: it listens for later launches
        handedOver,  // another launch runs and was asked to raise its window
        failed,      // neither; failureText() says why
    };

    SingleInstance(QString folder, QString name, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Claims the name, or hands over to the launch holding it, waiting up to `patience`
    // for that one to answer (it may still be starting).
    Outcome claim(std::chrono::milliseconds patience);

    QString socketPath() const;
    QString failureText() const { return failure_; }

    // The user's runtime folder ($XDG_RUNTIME_DIR), and "zoranth-host-<uid>".
    static QString defaultFolder();
    static QString defaultName();

  signals:
    void raiseRequested();

  private:
    Outcome handOver(std::chrono::milliseconds patience);
    void serve();

    const QString folder_;
    const QString name_;
    QLockFile lock_;
    QLocalServer server_;
    QString failure_;
};

}  // namespace zoranth
