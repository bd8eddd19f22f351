#include "provisioning/Operator.h"

std::string AskMacAddress(IOperator& op, const CStopToken& stop, const std::string& strOffered) {
    std::string strDialog;
    do {
        strDialog = strOffered;
        if (!op.ExecMacDialog(strDialog, stop))
            return std::string();
    } while (strDialog.empty() && !stop.StopRequested());
    if (stop.StopRequested())
        return std::string();
    // The operator sees the address once more and closes that box before anything is sent.
    op.ShowMessageBox(strDialog, MB_TYPE_NONE, stop);
    return strDialog;
}
