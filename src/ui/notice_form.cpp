#include "notice_form.h"

#include "logon_notice_store.h"

HWND hTextEdit;
HWND hCaptionEdit;

void BuildNoticeForm(HWND hwnd) {
    CreateWindowExW(0, TEXT("STATIC"), TEXT("LegalNoticeText:"), WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 10, 150, 20, hwnd,
                    nullptr, nullptr, nullptr);
    hTextEdit = CreateWindowExW(0, TEXT("EDIT"), TEXT(""), WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL, 10, 30,
                                300, 20, hwnd, reinterpret_cast<HMENU>(IDC_TEXT_EDIT), nullptr, nullptr);
    CreateWindowExW(0, TEXT("STATIC"), TEXT("LegalNoticeCaption:"), WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 60, 150, 20,
                    hwnd, nullptr, nullptr, nullptr);
    hCaptionEdit = CreateWindowExW(0, TEXT("EDIT"), TEXT(""), WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL, 10,
                                   80, 300, 20, hwnd, reinterpret_cast<HMENU>(IDC_CAPTION_EDIT), nullptr, nullptr);
    CreateWindowExW(0, TEXT("BUTTON"), TEXT("Создать и применить"), WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 110, 300,
                    30, hwnd, reinterpret_cast<HMENU>(IDC_APPLY_BUTTON), nullptr, nullptr);
}

static void ShowError(HWND owner, LPCWSTR text) { MessageBoxW(owner, text, TEXT("Ошибка"), MB_OK | MB_ICONERROR); }

static void ApplyNotice(HWND hwnd) {
    // Reading a missing field would store an empty notice over the real one.
    if (!hTextEdit || !hCaptionEdit) {
        ShowError(hwnd, TEXT("Поле ввода не создано. Ничего не записано."));
        return;
    }
    // A longer text would be cut, perhaps inside a surrogate pair: refuse it whole.
    if (GetWindowTextLengthW(hTextEdit) > 255 || GetWindowTextLengthW(hCaptionEdit) > 255) {
        ShowError(hwnd, TEXT("Текст и заголовок — не более 255 знаков каждый. Ничего не записано."));
        return;
    }
    WCHAR text[256];
    WCHAR caption[256];
    GetWindowTextW(hTextEdit, text, 256);
    GetWindowTextW(hCaptionEdit, caption, 256);

    switch (ApplyLogonNotice(text, caption)) {
    case STORED_BOTH:
        MessageBoxW(hwnd, TEXT("Значения применены! Перезагрузите компьютер."), TEXT("Успех"),
                    MB_OK | MB_ICONINFORMATION);
        break;
    case STORED_TEXT:
        ShowError(hwnd, TEXT("Не удалось записать в реестр: LegalNoticeCaption."));
        break;
    case STORED_CAPTION:
        ShowError(hwnd, TEXT("Не удалось записать в реестр: LegalNoticeText."));
        break;
    default:
        ShowError(hwnd, TEXT("Не удалось записать в реестр: LegalNoticeText, LegalNoticeCaption."));
        break;
    }
}

void OnNoticeCommand(HWND hwnd, WPARAM wParam) {
    if (LOWORD(wParam) == IDC_APPLY_BUTTON) ApplyNotice(hwnd);
}
