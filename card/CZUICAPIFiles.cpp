// CZUICAPI: file selection, binary and record access.
#include "ZUICAPI.h"
#include "card/BinaryPosition.h"
#include "card/CommandBuffer.h"
#include "common/Instructions.h"
#include "softenc/SecureWipe.h"

namespace {
const unsigned long LONGEST_LE = 256; // Le 00

unsigned char PositionHigh(unsigned long position) {
    return static_cast<unsigned char>((position >> 8) & 0xFF);
}
unsigned char PositionLow(unsigned long position) {
    return static_cast<unsigned char>(position & 0xFF);
}
} // namespace

int CZUICAPI::SelectDF(unsigned char* dfName, unsigned long nameLen, unsigned char* resp,
                       unsigned long* respLen) {
    CCommandBuffer<32> cmd(CLA_ISO, INS_SELECT, 0x04, 0x00);
    cmd.Append(dfName, nameLen);
    return cmd.SendData(*this, resp, respLen);
}

int CZUICAPI::SelectDF(unsigned char* const fileId, unsigned char* resp, unsigned long* respLen) {
    CCommandBuffer<8> cmd(CLA_ISO, INS_SELECT, 0x00, 0x00);
    cmd.Append(fileId, 2);
    return cmd.SendData(*this, resp, respLen);
}

int CZUICAPI::SelectEF(unsigned char* const fileId, unsigned char* resp, unsigned long* respLen) {
    CCommandBuffer<8> cmd(CLA_ISO, INS_SELECT, 0x02, 0x00);
    cmd.Append(fileId, 2);
    return cmd.SendData(*this, resp, respLen);
}

int CZUICAPI::ReadBinaryFile(unsigned char* buffer, unsigned long length, unsigned long offset) {
    if (length == 0) {
        return SucceedUnsent();
    }
    if (buffer == nullptr) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    if (!BinaryChunksAddressable(offset, length)) {
        return RefuseUnsent(*this, ZU_E_INPUT_RANGE);
    }
    // One hold for the whole sequence: nobody slips a command in between.
    CZUTransaction hold(*this);
    if (hold.Failed()) {
        return RefuseUnheld(*this);
    }
    unsigned char chunk[ZU_BINARY_CHUNK];
    CScopeWipe wipeChunk(chunk, sizeof chunk); // card data, which may be secret
    for (unsigned long done = 0; done < length; done += ZU_BINARY_CHUNK) {
        unsigned long position = offset + done;
        unsigned long le = length - done < ZU_BINARY_CHUNK ? length - done : ZU_BINARY_CHUNK;
        CCommandBuffer<5> cmd(CLA_ISO, INS_READ_BINARY, PositionHigh(position),
                              PositionLow(position));
        unsigned long count = le;
        if (cmd.SendHeader(*this, static_cast<unsigned char>(le), chunk, &count) != 1) {
            return 0;
        }
        if (count > le) {
            count = le;
        }
        std::memcpy(buffer + done, chunk, count);
        if (count < le) {
            return RefuseAnswer(); // a short chunk would leave a gap in buffer
        }
    }
    return 1;
}

int CZUICAPI::UpdateBinaryFile(unsigned char* data, unsigned long length, unsigned long offset) {
    if (length == 0) {
        return SucceedUnsent();
    }
    if (data == nullptr) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    if (!BinaryChunksAddressable(offset, length)) {
        return RefuseUnsent(*this, ZU_E_INPUT_RANGE);
    }
    // One hold for the whole sequence: nobody slips a command in between.
    CZUTransaction hold(*this);
    if (hold.Failed()) {
        return RefuseUnheld(*this);
    }
    int result = 1;
    for (unsigned long done = 0; done < length; done += ZU_BINARY_CHUNK) {
        unsigned long position = offset + done;
        unsigned long lc = length - done < ZU_BINARY_CHUNK ? length - done : ZU_BINARY_CHUNK;
        CCommandBuffer<5 + ZU_BINARY_CHUNK> cmd(CLA_ISO, INS_UPDATE_BINARY, PositionHigh(position),
                                                PositionLow(position));
        cmd.Append(data + done, lc);
        result = cmd.SendData(*this, nullptr, nullptr);
        if (result != 1) {
            return result;
        }
    }
    return result;
}

int CZUICAPI::UpdateBinaryFileWithMac(unsigned char* data, unsigned long length,
                                      unsigned long offset) {
    if (offset >= ZU_POSITION_LIMIT) {
        return RefuseUnsent(*this, ZU_E_INPUT_RANGE);
    }
    CCommandBuffer<16> cmd(CLA_SECURE, INS_UPDATE_BINARY, PositionHigh(offset),
                           PositionLow(offset));
    cmd.Append(data, length);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUICAPI::AppendRecord(unsigned char* data, unsigned long length) {
    CCommandBuffer<256> cmd(CLA_ISO, INS_APPEND_RECORD, 0x00, 0x00);
    cmd.Append(data, length);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUICAPI::UpdateRecord(int recordNo, unsigned char* data, unsigned long length) {
    if (recordNo < 0 || recordNo > 255) {
        // P1 holds one byte: 257 would overwrite record 1.
        return RefuseUnsent(*this, ZU_E_INPUT_RANGE);
    }
    CCommandBuffer<256> cmd(CLA_ISO, INS_UPDATE_RECORD, static_cast<unsigned char>(recordNo),
                            RECORD_BY_NUMBER);
    cmd.Append(data, length);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUICAPI::ReadRecord(unsigned char recordNo, unsigned long length, unsigned char* buffer) {
    if (length > LONGEST_LE) {
        return RefuseUnsent(*this, ZU_E_INPUT_TOO_LONG);
    }
    if (buffer == nullptr && length != 0) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    CCommandBuffer<5> cmd(CLA_ISO, INS_READ_RECORD, recordNo, RECORD_BY_NUMBER);
    unsigned long count = length;
    return cmd.SendHeader(*this, static_cast<unsigned char>(length), buffer, &count);
}
