#include "app/BoardRun.h"

#include "core/Settings.h"
#include "linedb/LineDb.h"
#include "linedb/LineDbRows.h"
#include "mac/NetCardFile.h"
#include "provisioning/EepromCheckFile.h"
#include "provisioning/SerialNumber.h"
#include "records/ShiftReport.h"

#include <QRegularExpression>
#include <QStringList>

SRunOptions WindowRunOptions(SRunOptions options, const std::string& strPort, IMacLedger* pLedger) {
    if (options.strInterface.empty())
        options.strInterface = ReadNetCard(strPort);
    options.bReadBackEeprom = options.bReadBackEeprom && ReadBackFromFile();
    options.serialRule = ReadSerialRule(options.strSerialRuleError).value_or(SSerialRule());
    if (!options.pMacLedger) {
        options.pMacLedger = pLedger;
        options.bOfferNextMac = true;
    }
    return options;
}

void AttachWindowRunParts(CRecordedRun& run, CLabelPrinter& printer,
                          std::function<void(const std::string&)> fnWarn, IOperator& op, CLineDb* pLineDb,
                          CLineDbOutlet* pOutlet, const std::string& strStation, const CStopToken& stop) {
    std::string strLabelError;
    std::optional<SLabelConfig> labelConfig = ReadLabelConfig(strLabelError);
    // The hook runs on the run's thread, within the run: the stop is the run's.
    run.SetVerdictHook([labelConfig, strLabelError, &printer, fnWarn, &op, stop](const SRunResult& verdict) {
        return LabelAtVerdict(verdict, labelConfig, strLabelError, printer, ThisStationName(), fnWarn, op,
                              stop);
    });
    if (pLineDb) {
        // Closing the window ends a wait for a stalled server as it ends every other wait of the run.
        pLineDb->SetStop(stop);
        run.SetStation(strStation, pOutlet);
    }
}

QString RunOutcomeLine(const SRunResult& result, qint64 nSeconds) {
    QString text;
    if (result.Outcome() == ERunOutcome::Ok) {
        text = QString::fromUtf8("Concluído: MAC %1 verificado (%2 s)")
                   .arg(QString::fromStdString(result.strMacSent));
    } else {
        // The message's first line says what failed; the box said the rest.
        QString message =
            QString::fromStdString(result.Message()).section(QRegularExpression("[\\r\\n]"), 0, 0);
        text = result.Outcome() == ERunOutcome::Failed
                   ? QString::fromUtf8("Falhou na etapa %1: %2 (%3 s)").arg(result.nStage).arg(message)
                   : QString::fromUtf8("Interrompido na etapa %1 (%2 s)").arg(result.nStage);
    }
    return text.arg(nSeconds);
}

QString NotRecordedLine(const CRunArchive::SArchived& archived, const QString& outcome, QString& strTip) {
    QString text = QString::fromUtf8("REGISTRO NÃO SALVO");
    if (!outcome.isEmpty())
        text += " - " + outcome;
    else if (!archived.problems.empty())
        text += ": " + QString::fromStdString(archived.problems.front());
    QStringList problems;
    for (const std::string& strProblem : archived.problems)
        problems << QString::fromStdString(strProblem);
    strTip = problems.join("\n");
    return text;
}
