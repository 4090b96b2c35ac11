// Waiting for a card (ZUWaitForCard): the cancellation that ZUCancelWait
// signals, and the PC/SC wait beside the in-process one.
#ifndef ZU_WAITFORCARD_H
#define ZU_WAITFORCARD_H

// A wait takes a ticket when it starts; ZUCancelWait cancels every ticket
// taken before it.
unsigned long WaitTicket();
bool WaitCancelled(unsigned long ticket);

// Waits for a card in the first PC/SC reader whose name contains name (the
// first reader for ""), at most timeoutMs. Returns the reason (ZU_E_NONE when
// a card is there) and sets *pcscCode to the PC/SC code behind it, or 0.
int PCSCWaitForCard(const char* name, unsigned timeoutMs, unsigned long ticket, long* pcscCode);

// Cancels the PC/SC waits under way (SCardCancel on each one's context).
void PCSCCancelWaits();

#endif
