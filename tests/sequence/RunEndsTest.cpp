// The failure table as the operator, the record and bench scripts meet it: every text to the letter, with its
// icon, the stages that show it and the headless exit status. A text changed by mistake, or a row paired
// with another end's status, fails here.

#include "provisioning/RunResult.h"
#include "provisioning/SerialNumber.h"

#include <gtest/gtest.h>

TEST(RunEndsTest, EveryEndShowsAndReturnsWhatTheOperatorAndScriptsKnow) {
    struct SCase {
        ERunEnd eEnd;
        std::vector<int> stages;
        const char* pszBox;
        int nType;
        int nExit;
    };
    const SCase cases[] = {
        {ERunEnd::Verified, {16}, "QAN640 configurando com sucesso", 64, 0},
        {ERunEnd::SetupFailed,
         {1},
         "Preparação incompleta: nada foi enviado à QAN640.\r\nVerifique o carregador BfinUcLinux e a imagem "
         "do primeiro estágio:",
         16,
         4},
        {ERunEnd::LoaderFailed,
         {2},
         "Houve um erro ao executar o BfinUcLinux.\r\nVerifique se a porta escolhida existe ou \r\n se está "
         "em "
         "uso por outra aplicação",
         16,
         10},
        {ERunEnd::OpenFailed,
         {3},
         "Não foi possível conectar a porta serial.\r\nVerifique se a porta escolhida existe ou \r\n se está "
         "em "
         "uso por outra aplicação",
         16,
         11},
        {ERunEnd::NoPrompt,
         {5, 10},
         "Não foi possível receber o prompt da QAN640\nReinicie a aplicação",
         16,
         12},
        {ERunEnd::TftpFailed, {6}, "Houve um erro ao enviar o comando tft\nReinicie a aplicação", 16, 13},
        {ERunEnd::NoTransferSize,
         {6},
         "Não foi possível receber o tamanho do arquivo enviado\nReinicie a aplicação",
         16,
         14},
        {ERunEnd::EepromFailed,
         {7},
         "Houve um erro ao enviar o comando para a eeprom\nReinicie a aplicação",
         16,
         15},
        {ERunEnd::NoShell, {9}, "Houve um erro ao enviar o comando de reset\nReinicie a aplicação", 16, 16},
        {ERunEnd::MacCancelled, {11}, "Operação cancelada.\n Endereço de MAC não especificado", 16, 17},
        {ERunEnd::BootargsFailed,
         {12},
         "Houve um erro ao enviar o comando de definição do MAC\nReinicie a aplicação",
         16,
         18},
        {ERunEnd::SaveenvFailed,
         {13},
         "Houve um erro ao enviar o comando de gravação do MAC\nReinicie a aplicação",
         16,
         19},
        {ERunEnd::ResetFailed,
         {14},
         "Houve um erro ao enviar o comando de reset do QAN640 após salvar o MAC\nReinicie a aplicação",
         16,
         20},
        {ERunEnd::ArpUnusable, {16}, "Não foi possível verificar o MAC Address do QAN640", 16, 21},
        {ERunEnd::MacDiffers, {16}, "MAC Address do QAN640 difere do enviado", 16, 22},
        {ERunEnd::MacRecorded,
         {11},
         "Endereço MAC já gravado em outra placa.\nNada foi enviado à QAN640",
         16,
         30},
        {ERunEnd::MacRangeExhausted,
         {11},
         "Não há endereço MAC livre na faixa.\nNada foi enviado à QAN640",
         16,
         31},
        {ERunEnd::MacRangeUnusable,
         {11},
         "A faixa de endereços MAC não pode ser usada.\nNada foi enviado à QAN640",
         16,
         32},
        {ERunEnd::MacRecordUnreadable,
         {11},
         "O registro de execuções não pode ser lido: o endereço MAC não pode ser conferido.\nNada foi "
         "enviado à "
         "QAN640",
         16,
         34},
        {ERunEnd::MacReserved, {11}, "Endereço MAC reservado por outra execução:", 16, 33},
        {ERunEnd::PortInUse,
         {1},
         "A porta serial escolhida já está em uso por outra execução deste programa.\r\n"
         "Aguarde o fim dela ou escolha outra porta",
         16,
         25},
        {ERunEnd::PortNotReserved,
         {1},
         "Não foi possível reservar a porta serial para esta execução.\r\n"
         "O log indica o arquivo de trava e o motivo",
         16,
         26},
        {ERunEnd::NoBoardCard,
         {1},
         "Não é possível usar a placa de rede da QAN640 para verificar o MAC:",
         16,
         27},
        {ERunEnd::ArpTimedOut,
         {16},
         "A QAN640 não respondeu ao ARP dentro do tempo limite.\r\nVerifique o cabo de rede da QAN640",
         16,
         28},
        {ERunEnd::EepromNotVerified,
         {7},
         "Gravação da EEPROM não conferida: a QAN640 pode não ter a imagem transferida.\nReinicie a "
         "aplicação",
         16,
         29},
        {ERunEnd::SerialMissing,
         {1},
         "Número de série da placa não informado ou fora do padrão.\nNada foi enviado à QAN640",
         16,
         35},
        {ERunEnd::Stopped, {}, "", 0, 130},
    };
    ASSERT_EQ(std::size(cases), std::size(kRunEnds));
    for (const SCase& c : cases) {
        const SRunEndRow& row = RunEndRow(c.eEnd);
        SCOPED_TRACE(int(c.eEnd));
        std::vector<int> stages;
        for (int nStage : {row.nStage, row.nOtherStage})
            if (nStage != RUN_STAGE_NONE)
                stages.push_back(nStage);
        EXPECT_EQ(stages, c.stages);
        EXPECT_STREQ(row.pszBox, c.pszBox);
        EXPECT_EQ(int(row.eBoxType), c.nType);
        EXPECT_EQ(row.nExitStatus, c.nExit);

        SRunResult result;
        result.eEnd = c.eEnd;
        EXPECT_EQ(result.Message(), c.pszBox) << "what the record keeps";
        result.strDetail = "why";
        EXPECT_EQ(result.Message(), *c.pszBox ? std::string(c.pszBox) + "\nwhy" : "why")
            << "the detail on a line of its own";
    }
}

// The site's serial pattern file and what it accepts: the whole serial must match.
TEST(SerialNumberTest, PatternFileAndSerials) {
    std::string strError;
    EXPECT_FALSE(SerialRuleFromText("# only a comment\n\n", strError));
    EXPECT_NE(strError.find("falta o padrão"), std::string::npos) << strError;
    EXPECT_FALSE(SerialRuleFromText("QAN[0-9\n", strError));
    EXPECT_NE(strError.find("não é uma expressão regular válida"), std::string::npos) << strError;

    std::optional<SSerialRule> rule =
        SerialRuleFromText("\xEF\xBB\xBF# site\r\n  QAN[0-9]{8}  \r\nignored\n", strError);
    ASSERT_TRUE(rule);
    EXPECT_TRUE(rule->bRequired);
    const std::vector<std::pair<std::string, const char*>> cases = {
        {"QAN00001234", ""},
        {"", "Erro: Número de série não informado"},
        {"QAN0000123", "Erro: Número de série fora do padrão (QAN[0-9]{8})"},
        {"xQAN00001234", "Erro: Número de série fora do padrão (QAN[0-9]{8})"},
        {"QAN00001234QAN00001235", "Erro: Número de série fora do padrão (QAN[0-9]{8})"},
        {"QAN0000\t1234", "Erro: Número de série inválido"},
        {std::string(kMaxSerialLength + 1, 'Q'), "Erro: Número de série inválido"},
    };
    for (const auto& [strSerial, pszError] : cases)
        EXPECT_EQ(SerialNumberError(*rule, strSerial), pszError) << strSerial;
}
