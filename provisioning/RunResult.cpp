#include "provisioning/RunResult.h"

const char* RunStageTitle(int nStage) {
    static const char* const kTitles[kRunStageCount] = {
        "Início",
        "Carregando o primeiro estágio (BfinUcLinux)",
        "Abrindo a porta serial",
        "Configurando a porta serial",
        "Aguardando o prompt da QAN640",
        "Transferindo a imagem (tftp)",
        "Gravando e conferindo a EEPROM",
        "Aguardando o operador religar a QAN640",
        "Aguardando o Linux para reiniciar (reboot)",
        "Aguardando o prompt após reiniciar",
        "Aguardando o endereço MAC",
        "Definindo o MAC (setenv bootargs)",
        "Gravando o MAC (saveenv)",
        "Reiniciando a QAN640 (reset)",
        "QAN640 configurada",
        "Verificando o MAC por ARP",
        "Fechando a porta serial",
    };
    return nStage >= 1 && nStage <= kRunStageCount ? kTitles[nStage - 1] : "";
}
