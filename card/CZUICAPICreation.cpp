// CZUICAPI: the file-system creation commands: erasing the master file,
// creating the master file, applications and elementary files, and ending a
// file's creation.
#include "card/CommandBuffer.h"
#include "common/Instructions.h"
#include "card/EraseKeys.h"
#include "ZUICAPI.h"

namespace {
const unsigned char MF_ID[2] = {0x3F, 0x00};
const unsigned long MF_BLOCK = 8;
const unsigned long ADF_NAME_MIN = 5;
const unsigned long ADF_NAME_MAX = 16;
} // namespace

int CZUICAPI::EraseMF() {
    // One hold for the whole sequence: nobody slips a command in between.
    CZUTransaction hold(*this);
    if (hold.Failed()) {
        return RefuseUnheld(*this);
    }
    CCommandBuffer<16> erase(CLA_PROPRIETARY, INS_ERASE_MF, 0x00, 0x00);
    erase.Append(MF_ID, sizeof MF_ID);
    int result = erase.SendData(*this, nullptr, nullptr);
    if (result != 0) {
        return result;
    }
    unsigned char key[ZU_ERASE_KEY_LENGTH];
    bool accepted = false;
    for (int which = 1; which <= 2 && !accepted; ++which) {
        BuildEraseKey(which, key);
        CCommandBuffer<32> keyCommand(CLA_PROPRIETARY, INS_KEY_COMMAND, 0x02, 0x00);
        keyCommand.Append(key, sizeof key);
        accepted = keyCommand.SendData(*this, nullptr, nullptr) != 0;
    }
    if (!accepted) {
        return 0;
    }
    return erase.SendData(*this, nullptr, nullptr);
}

int CZUICAPI::CreateMF(unsigned char attr1, unsigned char attr2, unsigned char* block,
                       unsigned char* dfName, unsigned long nameLen) {
    if (block == nullptr) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    CCommandBuffer<128> cmd(CLA_PROPRIETARY, INS_CREATE_FILE, 0x00, 0x01);
    cmd.Append(attr1).Append(attr2).Append(block, MF_BLOCK).Append(dfName, nameLen);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUICAPI::CreateMF(unsigned char attr1, unsigned char attr2, unsigned char* block) {
    if (block == nullptr) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    CCommandBuffer<128> cmd(CLA_PROPRIETARY, INS_CREATE_FILE, 0x00, 0x00);
    cmd.Append(attr1).Append(attr2).Append(block, MF_BLOCK);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUICAPI::CreateADF(unsigned char* fileId, unsigned char attr1, unsigned char attr2,
                        unsigned char* dfName, unsigned long nameLen) {
    if (fileId == nullptr) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    if (nameLen < ADF_NAME_MIN) {
        return RefuseUnsent(*this, ZU_E_INPUT_RANGE);
    }
    if (nameLen > ADF_NAME_MAX) {
        return RefuseUnsent(*this, ZU_E_INPUT_TOO_LONG);
    }
    CCommandBuffer<128> cmd(CLA_PROPRIETARY, INS_CREATE_FILE, 0x01, 0x00);
    cmd.Append(fileId, 2).Append(attr1).Append(attr2).Append(dfName, nameLen);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUICAPI::CreateEnd(unsigned char* fileId) {
    if (fileId == nullptr) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    CCommandBuffer<8> cmd(CLA_PROPRIETARY, INS_CREATE_END, fileId[0], fileId[1]);
    return cmd.SendHeader(*this, 0x00, nullptr, nullptr);
}

int CZUICAPI::CreateEF(unsigned char* fileId, unsigned char attr1, unsigned char attr2,
                       unsigned char attr3, unsigned char attr4, unsigned char attr5) {
    if (fileId == nullptr) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    CCommandBuffer<128> cmd(CLA_PROPRIETARY, INS_CREATE_FILE, 0x02, 0x00);
    cmd.Append(fileId, 2).Append(attr1).Append(attr2).Append(attr3).Append(attr4).Append(attr5);
    return cmd.SendData(*this, nullptr, nullptr);
}
