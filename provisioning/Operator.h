#pragma once

#include "core/StopToken.h"

#include <string>

// What a provisioning run asks of the person at the bench. The working side knows nothing of windows: the
// window and the headless front end each implement it.

// Message box types.
enum EMessageBoxType { MB_TYPE_NONE = 0, MB_TYPE_ERROR = 16, MB_TYPE_INFORMATION = 64 };

class IOperator {
public:
    virtual ~IOperator() = default;

    // A message box with one OK button. Texts are UTF-8; "\r\n" and "\n" are line breaks. Returns once the
    // operator closed it, or at once when a stop is requested.
    virtual void ShowMessageBox(const std::string& strText, int nType, const CStopToken& stop) = 0;

    // The MAC dialog, modal. On entry strMacAddress is an address to offer in its field (empty for none).
    // True when it ended with OK; strMacAddress then holds the dialog's address (empty when it had none).
    // False when it was cancelled, closed or ended by a stop.
    virtual bool ExecMacDialog(std::string& strMacAddress, const CStopToken& stop) = 0;

    // The record shows the address already stored in a board: strQuestion asks whether this is the same board
    // provisioned again. Reuse goes on with it, AskAgain returns to the MAC dialog, Refuse ends the run.
    enum class EReuse { Reuse, AskAgain, Refuse };
    virtual EReuse ConfirmMacReuse(const std::string& /*strQuestion*/, const CStopToken& /*stop*/) {
        return EReuse::Refuse;
    }

    // The board's serial number, scanned or typed, at the start of a run on a site that requires one;
    // strError is what was wrong with the last answer (empty the first time). False when the operator
    // cancelled, has no answer to give (headless without --serial) or a stop came.
    virtual bool AskSerialNumber(std::string& /*strSerial*/, const std::string& /*strError*/,
                                 const CStopToken& /*stop*/) {
        return false;
    }

    // The label just printed for the verified board, scanned back (what the scanner typed, in strScanned);
    // strError as for the serial. False when the operator gives up, has no scanner (headless without a
    // terminal) or a stop came.
    virtual bool AskLabelScan(std::string& /*strScanned*/, const std::string& /*strError*/,
                              const CStopToken& /*stop*/) {
        return false;
    }

    // Something the operator must know while the run goes on (a check done with less than it should have):
    // shown on the progress line, not in a box that would wait. UTF-8.
    virtual void ShowWarning(const std::string& /*strText*/) {}
};

// Asks for the board's MAC address in the MAC dialog (again while it ends with OK but no address), offering
// strOffered in its field, and shows the confirmed address in a plain box. Empty when the operator cancelled
// or a stop came first.
std::string AskMacAddress(IOperator& op, const CStopToken& stop, const std::string& strOffered = "");
