// Writes the Windows logon notice: the two REG_SZ values under the machine's
// Winlogon key that the logon screen shows before sign-in.
#pragma once

#include "platform.h"

// Which values a call stored, as bits; a clear bit names a value left as it was.
enum StoredNoticeValues {
    STORED_NONE = 0,
    STORED_TEXT = 1,     // "LegalNoticeText"
    STORED_CAPTION = 2,  // "LegalNoticeCaption"
    STORED_BOTH = STORED_TEXT | STORED_CAPTION,
};

// Stores text as the REG_SZ value valueName. True only if the key opened and
// the value was set; the key is opened for this one write and always closed.
bool SetWinlogonValue(LPCWSTR valueName, LPCWSTR text);

// Stores the notice body, then its title; the second write is attempted
// whatever became of the first. Returns the StoredNoticeValues bits.
unsigned ApplyLogonNotice(LPCWSTR text, LPCWSTR caption);
