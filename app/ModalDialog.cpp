#include "app/ModalDialog.h"

#include <QDialog>
#include <QMetaObject>
#include <functional>
#include <stop_token>

int ExecModalUntilStop(QDialog& dialog, const CStopToken& stop) {
    if (stop.StopRequested())
        return QDialog::Rejected;
    // The callback may run on any thread (whichever raises the stop); a queued call hands the reject to the
    // dialog's own thread. The callback is unregistered before the dialog goes away.
    std::stop_callback onStop(stop.Native(), std::function<void()>([&dialog] {
                                  QMetaObject::invokeMethod(&dialog, "reject", Qt::QueuedConnection);
                              }));
    return dialog.exec();
}
