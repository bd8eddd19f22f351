#include "app/ModalDialog.h"

#include <QDialog>
#include <QEventLoop>
#include <QMetaObject>
#include <functional>
#include <stop_token>

int ExecModalUntilStop(QDialog& dialog, const CStopToken& stop, bool bBlockOtherWindows) {
    if (stop.StopRequested())
        return QDialog::Rejected;
    // The callback may run on any thread (whichever raises the stop); a queued call hands the reject to the
    // dialog's own thread. The callback is unregistered before the dialog goes away.
    std::stop_callback onStop(stop.Native(), std::function<void()>([&dialog] {
                                  QMetaObject::invokeMethod(&dialog, "reject", Qt::QueuedConnection);
                              }));
    if (bBlockOtherWindows)
        return dialog.exec();

    dialog.setModal(false); // also undoes a "modal" that the dialog's form asked for
    dialog.setWindowModality(Qt::NonModal);
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.show();
    loop.exec(QEventLoop::DialogExec);
    return dialog.result();
}
