// The simulated devices' command table.
#include "sim/SimCommandTable.h"
#include "common/StatusWords.h"

#include <utility>

void CZUSimCommandTable::Set(unsigned char cla, unsigned char ins, Handler handler,
                             unsigned short otherClasses) {
    Instruction& row = m_rows[ins];
    row.byClass[cla] = std::move(handler);
    row.otherClasses = otherClasses;
}

CZUSimAnswer CZUSimCommandTable::Answer(const CommandApdu& cmd) const {
    auto row = m_rows.find(cmd.ins);
    if (row == m_rows.end()) {
        return SimStatus(SW_INS_UNKNOWN);
    }
    auto handler = row->second.byClass.find(cmd.cla);
    if (handler == row->second.byClass.end()) {
        return SimStatus(row->second.otherClasses);
    }
    return handler->second(cmd);
}
