// The virtual-table order of the four card classes is part of the exported
// interface: check every slot from the member-function pointers (Itanium ABI:
// a virtual member pointer holds 1 + its byte offset in the table; the
// destructor takes two entries, so the table's slot n >= 1 sits at entry n + 1).
#include "ZUICAPI.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

template <class F> long Slot(F f) {
    struct {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } raw;
    static_assert(sizeof(F) == sizeof(raw), "Itanium member pointer");
    std::memcpy(&raw, &f, sizeof raw);
    if ((raw.ptr & 1) == 0) {
        return -1; // not virtual
    }
    return static_cast<long>((raw.ptr - 1) / sizeof(void*)) - 1;
}

typedef unsigned char u8;
typedef unsigned long ul;

template <class C> void ExpectBaseSlots() {
    EXPECT_EQ(1, Slot(static_cast<int (C::*)(char*, int)>(&C::Open)));
    EXPECT_EQ(2, Slot(static_cast<int (C::*)(int, int)>(&C::Open)));
    EXPECT_EQ(3, Slot(&C::Close));
    EXPECT_EQ(4, Slot(&C::ChangeSlot));
    EXPECT_EQ(5, Slot(&C::IsCardExist));
    EXPECT_EQ(6, Slot(&C::Reset));
    EXPECT_EQ(7, Slot(&C::SendCommand));
    EXPECT_EQ(8, Slot(&C::EraseMF));
    EXPECT_EQ(9, Slot(static_cast<int (C::*)(u8, u8, u8*, u8*, ul)>(&C::CreateMF)));
    EXPECT_EQ(10, Slot(static_cast<int (C::*)(u8, u8, u8*)>(&C::CreateMF)));
    EXPECT_EQ(11, Slot(&C::CreateADF));
    EXPECT_EQ(12, Slot(&C::CreateEnd));
    EXPECT_EQ(13, Slot(&C::CreateEF));
    EXPECT_EQ(14, Slot(&C::WriteKey));
    EXPECT_EQ(15, Slot(&C::WriteKeyWithEncryptionAndMAC));
    EXPECT_EQ(16, Slot(static_cast<int (C::*)(u8*, ul, u8*, ul*)>(&C::SelectDF)));
    EXPECT_EQ(17, Slot(static_cast<int (C::*)(u8* const, u8*, ul*)>(&C::SelectDF)));
    EXPECT_EQ(18, Slot(&C::SelectEF));
    EXPECT_EQ(19, Slot(&C::ReadBinaryFile));
    EXPECT_EQ(20, Slot(&C::UpdateBinaryFile));
    EXPECT_EQ(21, Slot(&C::UpdateBinaryFileWithMac));
    EXPECT_EQ(22, Slot(&C::VerifyPin));
    EXPECT_EQ(23, Slot(&C::ChangePin));
    EXPECT_EQ(24, Slot(&C::AppendRecord));
    EXPECT_EQ(25, Slot(static_cast<int (C::*)(int, u8*, ul)>(&C::UpdateRecord)));
    EXPECT_EQ(26, Slot(static_cast<int (C::*)(u8, ul, u8*)>(&C::ReadRecord)));
    EXPECT_EQ(27, Slot(&C::GenerateRandom));
    EXPECT_EQ(28, Slot(static_cast<int (C::*)(u8, u8*, u8*)>(&C::InternalAuthentication)));
    EXPECT_EQ(29, Slot(static_cast<int (C::*)(u8, u8*)>(&C::ExternalAuthentication)));
}

template <class C> void ExpectSamSlots() {
    EXPECT_EQ(30, Slot(&C::InitForDESCrypt));
    EXPECT_EQ(31, Slot(&C::DESCrypt));
    EXPECT_EQ(32, Slot(&C::M1AuthAndKeyCalc));
    EXPECT_EQ(33, Slot(&C::Diversify));
}

TEST(CardVTable, EveryClassKeepsTheExportedSlotOrder) {
    ExpectBaseSlots<CZUICAPI>();
    ExpectBaseSlots<CZUSAMIC>();
    ExpectBaseSlots<CZUSBIC>();
    ExpectBaseSlots<CZUSBSAMIC>();
    ExpectSamSlots<CZUSAMIC>();
    ExpectSamSlots<CZUSBSAMIC>();

    typedef CZUSBSAMIC S;
    EXPECT_EQ(34, Slot(static_cast<int (S::*)(u8*, ul, u8*)>(&S::InternalAuthentication)));
    EXPECT_EQ(35, Slot(static_cast<int (S::*)(u8, u8*, ul)>(&S::ExternalAuthentication)));
    EXPECT_EQ(36, Slot(&S::ExportKey));

    typedef CZUSBIC B;
    EXPECT_EQ(30, Slot(&B::CreateATRFile));
    EXPECT_EQ(31, Slot(static_cast<int (B::*)(u8, u8, u8, ul, u8*, int)>(&B::ReadRecord)));
    EXPECT_EQ(32, Slot(static_cast<int (B::*)(u8, u8, u8, u8*, ul)>(&B::UpdateRecord)));
    EXPECT_EQ(33, Slot(static_cast<int (B::*)(u8, u8, u8, u8, u8*, ul)>(&B::UpdateRecord)));
    EXPECT_EQ(34, Slot(&B::UpdateRecordWithMAC));
    EXPECT_EQ(35, Slot(static_cast<int (B::*)(u8*, ul, u8*)>(&B::InternalAuthentication)));
    EXPECT_EQ(36, Slot(static_cast<int (B::*)(u8, u8*, ul)>(&B::ExternalAuthentication)));
}

TEST(CardVTable, CardObjectsHaveTheReaderObjectsSize) {
    EXPECT_EQ(sizeof(CZUReader), sizeof(CZUICAPI));
    EXPECT_EQ(sizeof(CZUReader), sizeof(CZUSAMIC));
    EXPECT_EQ(sizeof(CZUReader), sizeof(CZUSBIC));
    EXPECT_EQ(sizeof(CZUReader), sizeof(CZUSBSAMIC));
}

} // namespace
