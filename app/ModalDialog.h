#pragma once

#include "app/StopToken.h"

class QDialog;

// Runs a dialog modally on the GUI thread, as the worker's message boxes and the MAC dialog are. A stop
// request (the main window closing) rejects the dialog, so that its modal loop ends and nothing waits on
// an operator who is gone. Returns the dialog's result; QDialog::Rejected after a stop.
int ExecModalUntilStop(QDialog& dialog, const CStopToken& stop);
