// The commands a simulated device answers: one row per class and instruction
// byte (common/Instructions.h), each with the handler named after the library
// operation that sends the command. A variant of the card adds its own rows
// or replaces the general card's.
#ifndef ZU_SIMCOMMANDTABLE_H
#define ZU_SIMCOMMANDTABLE_H

#include "common/StatusWords.h"
#include "sim/SimAnswer.h"

#include <functional>
#include <map>

class CZUSimCommandTable {
  public:
    typedef std::function<CZUSimAnswer(const CommandApdu&)> Handler;

    // Answers INS in class CLA with the handler, in place of any handler the
    // row had. In a class that has no row of its own, the instruction gets
    // `otherClasses`: 6E 00 (class not supported) unless a row says otherwise.
    void Set(unsigned char cla, unsigned char ins, Handler handler,
             unsigned short otherClasses = SW_CLA_UNKNOWN);

    // The row's answer; 6D 00 for an instruction the table does not know.
    CZUSimAnswer Answer(const CommandApdu& cmd) const;

  private:
    struct Instruction {
        std::map<unsigned char, Handler> byClass;
        unsigned short otherClasses = SW_CLA_UNKNOWN;
    };
    std::map<unsigned char, Instruction> m_rows;
};

#endif
