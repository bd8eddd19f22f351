#pragma once

#include "core/StopToken.h"

class QDialog;

// Runs a dialog on the GUI thread until it is closed, as the worker's message boxes and the MAC dialog are.
// A stop request (the main window closing) rejects the dialog, so that its loop ends and nothing waits on an
// operator who is gone. Returns the dialog's result; QDialog::Rejected after a stop.
//
// bBlockOtherWindows false leaves the program's other windows usable meanwhile: the boxes of a run do not
// keep the operator from closing the main window.
int ExecModalUntilStop(QDialog& dialog, const CStopToken& stop, bool bBlockOtherWindows = true);
