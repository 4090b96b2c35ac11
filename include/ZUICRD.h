/**
 * @file ZUICRD.h
 * @brief ZUICRD: the reader layer of ZUICAPI.
 *
 * CZUReader owns the connection to one card in one reader and carries one
 * command APDU and its answer at a time. Every card class of ZUICAPI derives
 * from it and overrides none of its virtual operations.
 *
 * @par Connection lifetime
 * Copies of a reader object (copy construction, assignment, the card
 * classes' construction from a reader) reach the same connection. The
 * connection lives until the last object using it is destroyed, or until
 * Close is called on any of them; after Close every copy sees an unopened
 * reader and its commands return 0. Close refuses new commands on every
 * copy at once, this thread's own nested ones included. It waits until
 * exchanges and held transactions of other threads on that connection have
 * ended, for at most the transaction timeout: past it, Close returns and the
 * transport is let go when the last of them ends. Called from inside an
 * exchange (a trace hook) or a transaction of its own thread, it lets the
 * transport go when that exchange or transaction ends. Copies may be used
 * from different threads.
 *
 * @par Shared readers and transactions
 * Other programs (and other objects of this process) may use the same card.
 * SendCommand holds the card for its whole exchange (the command, a 6C XX
 * re-send, every GET RESPONSE), and every card operation that sends more
 * than one command holds it for its whole sequence; a host holds it across
 * its own sequence with CZUTransaction. Holding is counted per connection
 * and per thread: an inner hold inside an outer one costs nothing, and
 * another thread using a copy waits until the outer hold ends. For PC/SC
 * this is SCardBeginTransaction / SCardEndTransaction.
 * @par
 * A card that another program reset (its selection and security state are
 * gone) makes the next command or transaction fail with result 0; the
 * connection is restored at once, so the host selects and verifies again on
 * the same object. Nothing is ever re-sent on its own. A removed card, an
 * unplugged reader or a stopped PC/SC service make commands fail until
 * Reset (or Open) connects afresh, establishing a new PC/SC context if the
 * service was restarted.
 * @par
 * @par Deadlines
 * Each call of the reader layer has one deadline, the transaction timeout
 * (ZUSetTransactionTimeout, 10 s unless set) after it began. Every wait it
 * makes ends there: for another thread's hold, for another program's
 * transaction, and for the PC/SC calls that the service holds back while
 * another program has the card (connect, reconnect, status, reader list).
 * Past it the call gives 0 with ZU_E_TIMEOUT rather than waiting for ever;
 * a PC/SC call given up on runs to its end on a thread of the connection,
 * which tidies up what it brings (a transaction begun too late is ended, a
 * handle connected too late is let go). Open or ChangeSlot of a reader that
 * the calling thread holds gives 0 at once (ZU_E_HELD_HERE).
 * @par
 * A hold whose PC/SC handle had to be connected afresh inside it (Reset
 * after a removal or a restart of the service) is broken: the new handle
 * has no transaction, so its commands give 0 (ZU_E_HOLD_BROKEN) until the
 * host ends the hold and starts its sequence again.
 * @par
 * No operation throws. An exception from a host's transport or trace hook,
 * from the allocator or from starting a thread gives 0 with its reason
 * (ZU_E_HOST_EXCEPTION, ZU_E_NO_MEMORY), and every hold is let go.
 * @par
 * A child process made by fork() does not touch its parent's PC/SC context
 * or handles: the reader objects it inherited give 0 (ZU_E_FORKED) until
 * it opens its own.
 */
#ifndef ZUICRD_H
#define ZUICRD_H

#include "ZUErrors.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(ZUICRD_BUILD)
#define ZUICRD_API __declspec(dllexport)
#else
#define ZUICRD_API __declspec(dllimport)
#endif
#else
/// Marks the reader layer's exported classes and functions.
#define ZUICRD_API __attribute__((visibility("default")))
#endif

/// The transmission protocols that Open asks for.
enum {
    ZU_PROTOCOL_ANY = 0, ///< T=0 or T=1, whichever the card offers.
    ZU_PROTOCOL_T0 = 1,  ///< T=0 only.
    ZU_PROTOCOL_T1 = 2,  ///< T=1 only.
};

/// Longest answer a transport delivers for one short APDU.
enum {
    ZU_MAX_ANSWER = 258 ///< 256 data bytes and the status word.
};

/**
 * @brief The raw exchange beneath CZUReader: one command in, the card's whole
 * answer (data, then SW1 SW2) out.
 *
 * Implementations: PC/SC (pcsc-lite) and any in-process card that a test or
 * the simulator plugs in (ZURegisterReader, ZUOpenTransport).
 */
class ZUICRD_API CZUTransport {
  public:
    /// Releases whatever the transport holds.
    virtual ~CZUTransport();
    /// Sends cmd[0..cmdLen) and writes the answer, data then SW1 SW2, to
    /// answer (room for ZU_MAX_ANSWER bytes), its length to *answerLen.
    /// Returns false when the exchange could not be carried out.
    virtual bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                          size_t* answerLen) = 0;
    /// Resets the card (a cold reconnect for PC/SC) and writes its ATR to atr
    /// (room for atrRoom bytes), its length to *atrLen. Returns false when no
    /// card answered.
    virtual bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) = 0;
    /// Whether a card is in the reader and powered.
    virtual bool IsCardPresent() = 0;
    /// Moves to another slot of the same reader family; false if there is none.
    virtual bool ChangeSlot(int slot);
    /// A new connection to another slot of the same reader family, this one
    /// left as it is; null if there is none (or the transport cannot make
    /// one: CZUReader::ChangeSlot then moves an unshared transport in place).
    virtual std::shared_ptr<CZUTransport> OpenSlot(int slot);
    /// Releases the reader; later calls fail.
    virtual void Close() {}
    /// Begins exclusive use of the card for this connection, waiting at most
    /// timeoutMs for other connections to end theirs. False when the card
    /// could not be had: another connection kept it, the card was reset by
    /// someone else (the transport restores its connection and reports it
    /// this once), the card or the reader is gone. CZUReader calls it once per
    /// outermost hold and pairs every success with EndTransaction.
    virtual bool BeginTransaction(unsigned timeoutMs);
    /// Ends the exclusive use that a successful BeginTransaction began.
    virtual void EndTransaction() {}
};

/// Makes an in-process transport for a reader name that begins with a
/// registered prefix; returns null when there is no such reader.
typedef std::shared_ptr<CZUTransport> (*ZUTransportFactory)(const char* name, int protocol);

/// Registers (or, with a null factory, removes) the in-process readers whose
/// names begin with prefix. Returns 1 on success.
ZUICRD_API int ZURegisterReader(const char* prefix, ZUTransportFactory factory);

/// The PC/SC readers, in the order Open(int, int) counts them; empty when
/// there is no PC/SC service or no reader.
ZUICRD_API std::vector<std::string> ZUListPCSCReaders();

/**
 * Watches every raw exchange of every reader object in the process: called
 * once for each command that goes to a transport (the caller's command, the
 * re-sent one after 6C XX and each GET RESPONSE), with the command and the
 * card's whole answer (data, then SW1 SW2). answerLen is 0 when the exchange
 * failed or the answer was unusable (shorter than the status word, longer
 * than ZU_MAX_ANSWER). The hook runs on the thread of the exchange, while
 * that exchange holds the card. It may be set from any thread at any time;
 * each call gets the context that was installed with its hook. It is given
 * the real bytes, PINs and keys included. An exception thrown by the hook
 * makes the exchange give 0 (ZU_E_HOST_EXCEPTION).
 */
typedef void (*ZUTraceHook)(const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                            size_t answerLen, void* context);

/// Installs the process-wide hook (a null hook removes it); context is handed
/// to every call. Returns once the calls that carry the hook replaced have
/// ended, so the host may free their context then; called from inside a hook,
/// it returns at once and the calls still running keep their context.
ZUICRD_API void ZUSetTraceHook(ZUTraceHook hook, void* context);

/// Sets how long a call waits for the card while another connection or
/// program holds it, in milliseconds (process-wide; 10000 unless set); see
/// "Deadlines". 0 means: do not wait for another holder. A free card is
/// taken (PC/SC gets the time of one answer from the service, at most
/// 100 ms); a held one gives 0 at once.
ZUICRD_API void ZUSetTransactionTimeout(unsigned timeoutMs);
/// The transaction timeout in milliseconds (ZUSetTransactionTimeout).
ZUICRD_API unsigned ZUGetTransactionTimeout();

/**
 * @name Why an operation failed
 * Every operation of the reader layer and of the card classes leaves a
 * reason for the calling thread: ZU_E_NONE when it succeeded, else why it
 * returned 0 (a ZUError). Read it right after the call, on the same thread;
 * copies of a reader object used on other threads do not disturb it. A card
 * that refused a command leaves ZU_E_CARD_REFUSED and its status word in
 * GetSW; a sequence of commands leaves the reason of the step that failed.
 * @{
 */
extern "C" {
/// The reason the calling thread's last operation failed (a ZUError).
ZUICRD_API int ZUGetLastError(void);
/// The PC/SC code behind that reason (SCARD_E_..., SCARD_W_...), or 0 when
/// PC/SC gave none.
ZUICRD_API long ZUGetLastPCSCError(void);
/// One line of English for a reason ("card removed"); never null.
ZUICRD_API const char* ZUErrorText(int reason);
/// Sets the calling thread's reason and PC/SC code: for hosts' own
/// transports, and for the card library's refusals.
ZUICRD_API void ZUSetLastError(int reason, long pcscCode);
/// What a status word means ("file not found" for 6A 82); never null.
ZUICRD_API const char* ZUStatusWordText(unsigned short sw);
}
/** @} */

/**
 * @name Waiting for a card
 * For a host that asks its operator to put the card back: a wait, bounded
 * and cancellable from another thread.
 * @{
 */
extern "C" {
/**
 * @brief Waits until a card is in a reader (and answers: a mute card does
 * not count), at most timeoutMs milliseconds.
 *
 * The reader is named as Open names it: a registered in-process reader
 * ("sim", "simsam", ..., asked through a connection of the wait's own, so
 * that the simulated card is powered on afresh), else the first PC/SC reader
 * whose name contains readerName (the first PC/SC reader for a null or empty
 * name), watched with SCardGetStatusChange. It touches no reader object and
 * may run on any thread.
 * @param readerName The reader's name, or a part of it.
 * @param timeoutMs How long to wait; 0 looks once.
 * @return 1 when a card is there (at once if it already was), leaving
 * ZU_E_NONE; 0 otherwise, leaving ZU_E_WAIT_TIMEOUT (no card came),
 * ZU_E_CANCELLED (ZUCancelWait), ZU_E_NO_READER (no such reader),
 * ZU_E_READER_GONE (the reader was unplugged meanwhile), ZU_E_NO_SERVICE
 * (the PC/SC service is not running, or stopped), ZU_E_TRANSPORT (another
 * PC/SC failure) or ZU_E_HOST_EXCEPTION (a registered reader threw), each
 * with the PC/SC code behind it when there was one.
 */
ZUICRD_API int ZUWaitForCard(const char* readerName, unsigned timeoutMs);
/// Ends every ZUWaitForCard under way in the process, on any thread, with
/// result 0 and ZU_E_CANCELLED; waits that start later are not affected.
ZUICRD_API void ZUCancelWait(void);
}
/** @} */

class CZUConnection;
class CZUReader;

/// Opens `reader` on a transport that the caller made (tests, embedded
/// cards). Any previous connection of the object is closed. Returns 1, or 0
/// for a null transport.
ZUICRD_API int ZUOpenTransport(CZUReader& reader, std::shared_ptr<CZUTransport> transport);

/**
 * @brief A connection to one card in one reader, and the command exchange
 * with it; the base of every card class.
 */
class ZUICRD_API CZUReader {
  public:
    /// An unopened reader object: its commands return 0 until Open.
    CZUReader();
    /// A copy that reaches the same connection as `other`.
    CZUReader(const CZUReader& other);
    /// Makes this object reach the connection of `other`; returns *this.
    const CZUReader& operator=(const CZUReader& other);
    /// Lets go of the connection (it closes with its last user).
    virtual ~CZUReader();

    /**
     * @brief Connects to the card in a reader named by name.
     *
     * Names that begin with "sim" reach an in-process reader registered under
     * that prefix (the simulated card and SAM, ZUICSIM.h: "sim", "simsam",
     * "simsb", "simsbsam", with options after a colon, e.g.
     * "sim:t0,remove=12"); any other name is matched as a substring against
     * the PC/SC readers that SCardListReaders reports, and the first match is
     * used. A null or empty name takes the first PC/SC reader. An object that
     * was open lets go of its connection first (copies keep theirs).
     * @param readerName The reader's name, or a part of it.
     * @param protocol ZU_PROTOCOL_ANY, ZU_PROTOCOL_T0 or ZU_PROTOCOL_T1.
     * @return 1 when connected, 0 otherwise.
     */
    virtual int Open(char* readerName, int protocol);
    /**
     * @brief Connects to the card in the PC/SC reader at a position.
     * @param readerIndex Position, from 0, in ZUListPCSCReaders().
     * @param protocol ZU_PROTOCOL_ANY, ZU_PROTOCOL_T0 or ZU_PROTOCOL_T1.
     * @return 1 when connected, 0 otherwise.
     */
    virtual int Open(int readerIndex, int protocol);
    /// Closes the connection for this object and all its copies (see
    /// "Connection lifetime"). Returns 1, or 0 when the object was not open.
    virtual int Close();
    /**
     * @brief Moves the object to another slot of the same reader family,
     * keeping the protocol.
     *
     * For PC/SC the reader at index slot; for an in-process reader the
     * transport's own slot (the simulator: 0 the card, 1 the SAM). Only this
     * object moves, to a connection of its own; copies keep the connection
     * they shared. On failure the object is left unopened.
     * @param slot The slot.
     */
    virtual void ChangeSlot(int slot);
    /// Whether a card is in the reader and powered: 1, else 0 (also for an
    /// unopened object).
    virtual int IsCardExist();
    /**
     * @brief Resets the card; its selection and security state start afresh.
     * @param atr Receives the card's answer to reset, at most *atrLen bytes.
     * @param atrLen In: room in atr; out: bytes copied (0 on failure).
     * @return 1 when the card answered, 0 otherwise.
     */
    virtual int Reset(unsigned char* atr, unsigned long* atrLen);
    /**
     * @brief Sends one short APDU (CLA INS P1 P2 P3 [data]) and collects the
     * whole answer.
     *
     * 61 XX answers are followed by GET RESPONSE (00 C0 00 00 XX) until the
     * card has given all its data, and 6C XX answers by the same command again
     * with Le = XX (in P3 for a command without data, in place of the Le that
     * a command with data carries, behind the data otherwise), so that a
     * command with data that expects an answer gets it on T=0 and T=1 alike.
     * The last status word is kept for GetSW (0000 after a transport failure
     * that left no answer).
     * @param cmd The command.
     * @param cmdLen Its length.
     * @param resp Receives at most *respLen data bytes; null discards them.
     * @param respLen In: room in resp; out: bytes copied. Null discards the
     * answer's data.
     * @return 1 when the final status word is 90 00; 0 for any other status
     * word and for transport failures (no reader, card removed, reader gone).
     */
    virtual int SendCommand(unsigned char* cmd, unsigned long cmdLen, unsigned char* resp,
                            unsigned long* respLen);

    /// The status word SW1 SW2 of the card's last answer to this object, as
    /// one number (0x9000 for 90 00); 0000 when the last operation got no
    /// answer: a transport failure, or a call refused before sending.
    unsigned short GetSW() const;

  protected:
    /// Makes this object reach the connection of source (unopened for a null
    /// source) and takes its status word.
    void CopyReaderParameter(const CZUReader* source);

  private:
    friend ZUICRD_API int ZUOpenTransport(CZUReader&, std::shared_ptr<CZUTransport>);
    friend class CZUTransaction;
    int Exchange(CZUTransport& transport, const unsigned char* cmd, size_t cmdLen,
                 unsigned char* answer, size_t* answerLen);
    unsigned short Transfer(CZUTransport& transport, const unsigned char* cmd, size_t cmdLen,
                            unsigned char* resp, size_t room, size_t* copied);

    std::shared_ptr<CZUConnection> m_connection;
    unsigned short m_sw;
};

/**
 * @brief Holds the card of a reader object (any card object) for the life of
 * this object, so that no other program, thread or copy slips a command into
 * the host's own sequence.
 *
 * @code
 *   {
 *       CZUTransaction hold(card);
 *       if (!hold.Held()) { } // card gone, reset, or busy past the timeout
 *       card.SelectEF(fileId, nullptr, nullptr);
 *       card.VerifyPin(pin, 4, tries);
 *       card.ReadBinaryFile(buffer, 600, 0);
 *   } // the card is free again
 * @endcode
 *
 * Holds nest (the card operations take their own hold inside it at no cost).
 * Keep holds short: other programs wait for the card meanwhile. The hold
 * belongs to the thread that made it; end it on that thread. On Windows the
 * Smart Card service resets a card whose transaction sits idle for more than
 * 5 seconds: do not pause inside a hold.
 */
class ZUICRD_API CZUTransaction {
  public:
    /// Holds the card of reader, waiting at most the transaction timeout.
    explicit CZUTransaction(CZUReader& reader);
    /// Lets the card go (End).
    ~CZUTransaction();
    CZUTransaction(const CZUTransaction&) = delete;
    CZUTransaction& operator=(const CZUTransaction&) = delete;

    /// The card is held for this object.
    bool Held() const { return m_connection != nullptr; }
    /// The reader is open but the card could not be had (reset by another
    /// program, removed, the reader or the service gone, or busy past the
    /// timeout). An unopened reader is neither held nor failed.
    bool Failed() const { return m_failed; }
    /// Lets the card go before destruction. Called on another thread than
    /// the one that made the hold, it does nothing but leave the reason
    /// ZU_E_WRONG_THREAD: the hold stays (Held() is still true) until its own
    /// thread ends it, or until this object is destroyed, on any thread.
    void End();

  private:
    std::shared_ptr<CZUConnection> m_connection;
    bool m_failed;
};

#endif
