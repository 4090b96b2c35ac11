/**
 * @file ZUErrors.h
 * @brief Why the last operation of a thread failed: the reasons that
 * ZUGetLastError reports (ZUICRD.h), in a header that C includes as well.
 *
 * An operation that returns 0 leaves one of these reasons for the calling
 * thread; one that succeeds leaves ZU_E_NONE. ZUErrorText gives each one
 * line of English.
 */
#ifndef ZUERRORS_H
#define ZUERRORS_H

/** The reasons for a failure. Values are fixed: new ones are only added. */
enum ZUError {
    ZU_E_NONE = 0,            /**< No failure: the last operation succeeded. */
    ZU_E_CARD_REFUSED = 1,    /**< The card answered with a refusal: read GetSW. */
    ZU_E_INPUT_TOO_LONG = 2,  /**< Refused before sending: input longer than the command holds. */
    ZU_E_INPUT_RANGE = 3,     /**< Refused before sending: an offset or position out of range. */
    ZU_E_INPUT_NULL = 4,      /**< Refused before sending: a needed pointer was null. */
    ZU_E_NOT_OPEN = 5,        /**< The reader object is not open (never opened, or closed). */
    ZU_E_NO_READER = 6,       /**< No reader of that name or position. */
    ZU_E_NO_CARD = 7,         /**< No card in the reader. */
    ZU_E_CARD_REMOVED = 8,    /**< The card was taken out. */
    ZU_E_CARD_RESET = 9,      /**< Another program reset the card: select and verify again. */
    ZU_E_READER_GONE = 10,    /**< The reader was unplugged. */
    ZU_E_NO_SERVICE = 11,     /**< The PC/SC service is not running, or stopped. */
    ZU_E_TIMEOUT = 12,        /**< Another program or thread held the card past the timeout. */
    ZU_E_BAD_ANSWER = 13,     /**< The card's answer was malformed (under 2 bytes, or too long). */
    ZU_E_TRANSPORT = 14,      /**< Another transport failure: see ZUGetLastPCSCError. */
    ZU_E_NO_MEMORY = 15,      /**< Out of memory, or no thread could be started. */
    ZU_E_HELD_HERE = 16,      /**< This thread holds that reader already (Open inside a hold). */
    ZU_E_HOLD_BROKEN = 17,    /**< The hold's connection was reopened: end the hold, start again. */
    ZU_E_FORKED = 18,         /**< The object was inherited across fork: open it anew. */
    ZU_E_WRONG_THREAD = 19,   /**< A hold was ended from a thread other than its own. */
    ZU_E_HOST_EXCEPTION = 20, /**< A host's trace hook or transport threw an exception. */
    ZU_E_WAIT_TIMEOUT = 21,   /**< Waiting for a card: the time ran out. */
    ZU_E_CANCELLED = 22,      /**< Waiting for a card: cancelled (ZUCancelWait). */
    ZU_E_UNSUPPORTED = 23     /**< The reader or transport cannot do this. */
};

#endif
