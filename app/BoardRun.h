#pragma once

#include "app/GuiCall.h"
#include "labels/LabelPrinter.h"
#include "provisioning/Provisioning.h"
#include "records/RecordedRun.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <string>

class CLineDb;
class CLineDbOutlet;
class IMacLedger;

// What every run of the window is given, alone or in a slot of a station: the files of the working
// directory read at its start, the window's ledger unless the caller brought one, the label at the verdict
// and the line's database.
SRunOptions WindowRunOptions(SRunOptions options, const std::string& strPort, IMacLedger* pLedger);

// The label printed at a verified run's verdict (its trouble told through fnWarn, its scan-back asked of op)
// and, with pLineDb, every row to the line's database; the database's waits end on stop.
void AttachWindowRunParts(CRecordedRun& run, CLabelPrinter& printer,
                          std::function<void(const std::string&)> fnWarn, IOperator& op, CLineDb* pLineDb,
                          CLineDbOutlet* pOutlet, const std::string& strStation, const CStopToken& stop);

// The progress line's text once a run is over ("Concluído: MAC ... verificado (12 s)").
QString RunOutcomeLine(const SRunResult& result, qint64 nSeconds);

// The line that says a run's row or log was not written: with the outcome once the run is over, with the
// first problem before; strTip gets every problem.
QString NotRecordedLine(const CRunArchive::SArchived& archived, const QString& outcome, QString& strTip);

// Hands a run's stage and verdict notifications to the GUI thread, as the log does; fnOnStage and fnOnVerdict
// run there while the window exists (and the worker waits).
class CRunNotesToGui : public IRunObserver {
public:
    CRunNotesToGui(QObject* pWindow, const CStopToken& stop, std::function<void(int)> fnOnStage,
                   std::function<void()> fnOnVerdict)
        : m_pWindow(pWindow), m_stop(stop), m_fnOnStage(std::move(fnOnStage)),
          m_fnOnVerdict(std::move(fnOnVerdict)) {}
    void OnStageStarted(int nStage) override {
        QPointer<QObject> pWindow = m_pWindow;
        CallOnGuiThread(m_pWindow, m_stop, [pWindow, fn = m_fnOnStage, nStage] {
            if (pWindow)
                fn(nStage);
        });
    }
    void OnVerdict(const SRunResult&) override {
        QPointer<QObject> pWindow = m_pWindow;
        CallOnGuiThread(m_pWindow, m_stop, [pWindow, fn = m_fnOnVerdict] {
            if (pWindow)
                fn();
        });
    }

private:
    QObject* m_pWindow;
    const CStopToken& m_stop;
    std::function<void(int)> m_fnOnStage;
    std::function<void()> m_fnOnVerdict;
};
