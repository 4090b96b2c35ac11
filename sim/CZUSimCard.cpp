// The simulated general card: power, the session, and the command table
// that hands each command to the handler named after the library operation
// that sends it.
#include "sim/CZUSimCard.h"
#include "common/Instructions.h"
#include "ZUICSIM.h"

#include <cstring>
#include <functional>

CZUSimCard::CZUSimCard() : m_random(std::random_device{}()) {
    using namespace std::placeholders;
    auto row = [this](unsigned char cla, unsigned char ins,
                      CZUSimAnswer (CZUSimCard::*handler)(const CommandApdu&)) {
        m_commands.Set(cla, ins, std::bind(handler, this, _1));
    };
    // File selection and data access.
    row(CLA_ISO, INS_SELECT, &CZUSimCard::SelectFile);
    row(CLA_ISO, INS_READ_BINARY, &CZUSimCard::ReadBinary);
    row(CLA_ISO, INS_UPDATE_BINARY, &CZUSimCard::UpdateBinary);
    row(CLA_SECURE, INS_UPDATE_BINARY, &CZUSimCard::UpdateBinary);
    row(CLA_ISO, INS_READ_RECORD, &CZUSimCard::ReadRecord);
    row(CLA_ISO, INS_UPDATE_RECORD, &CZUSimCard::UpdateRecord);
    row(CLA_SECURE, INS_UPDATE_RECORD, &CZUSimCard::UpdateRecord);
    row(CLA_ISO, INS_APPEND_RECORD, &CZUSimCard::AppendRecord);
    // GET RESPONSE: this card hands every answer over at once, so nothing is
    // ever waiting (the T=0 answering keeps its own).
    m_commands.Set(CLA_ISO, INS_GET_RESPONSE,
                   [](const CommandApdu&) { return SimStatus(SW_CONDITIONS); });
    // Security.
    row(CLA_ISO, INS_VERIFY, &CZUSimCard::VerifyPin);
    row(CLA_PROPRIETARY, INS_CHANGE_PIN, &CZUSimCard::ChangePin);
    row(CLA_ISO, INS_GET_CHALLENGE, &CZUSimCard::GenerateRandom);
    m_commands.Set(CLA_ISO, INS_INTERNAL_AUTHENTICATE,
                   [this](const CommandApdu& cmd) { return InternalAuthentication(cmd, false); });
    m_commands.Set(CLA_ISO, INS_EXTERNAL_AUTHENTICATE,
                   [this](const CommandApdu& cmd) { return ExternalAuthentication(cmd, false); });
    row(CLA_PROPRIETARY, INS_WRITE_KEY, &CZUSimCard::WriteKey);
    row(CLA_PROPRIETARY_SECURE, INS_WRITE_KEY, &CZUSimCard::WriteKey);
    // File-system creation and erase.
    row(CLA_PROPRIETARY, INS_ERASE_MF, &CZUSimCard::EraseMF);
    row(CLA_PROPRIETARY, INS_KEY_COMMAND, &CZUSimCard::EraseMFKey);
    row(CLA_PROPRIETARY, INS_CREATE_FILE, &CZUSimCard::CreateFile);
    row(CLA_PROPRIETARY, INS_CREATE_END, &CZUSimCard::CreateEnd);
}

CZUSimCard::~CZUSimCard() = default;

std::vector<unsigned char> CZUSimCard::PowerOn() {
    ForgetSession();
    return SimAnswerToReset(Name(), false);
}

void CZUSimCard::PowerOff() {
    ForgetSession();
}

void CZUSimCard::ForgetSession() {
    m_currentDF = m_master.get();
    m_currentEF = nullptr;
    m_currentRecord = 0;
    std::memset(m_challenge, 0, sizeof m_challenge);
    m_haveChallenge = false;
    m_eraseKeyPresented = false;
    m_verified.clear();
    m_authenticated.clear();
}

std::vector<unsigned char> CZUSimCard::Process(const unsigned char* apdu, size_t length) {
    CommandApdu cmd;
    if (!cmd.Parse(apdu, length)) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    if ((cmd.cla & 0x80) == 0) {
        if ((cmd.cla & 0x10) != 0) {
            return SimStatus(SW_NO_CHAINING);
        }
        if ((cmd.cla & 0x03) != 0) {
            return SimStatus(SW_NO_CHANNEL);
        }
    }
    if (cmd.cla != CLA_ISO && cmd.cla != CLA_SECURE && cmd.cla != CLA_PROPRIETARY &&
        cmd.cla != CLA_PROPRIETARY_SECURE) {
        return SimStatus(SW_CLA_UNKNOWN);
    }
    return m_commands.Answer(cmd);
}

bool CZUSimCard::SupportsType(unsigned char type) const {
    return type >= ZUSIM_EF_BINARY && type <= ZUSIM_EF_KEYS;
}
