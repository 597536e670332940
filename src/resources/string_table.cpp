// The tool's own message and manual texts (English and Russian), UTF-8.
#include "resources/string_table.h"

namespace keymend {

namespace {

struct StringEntry {
    int id;
    std::string_view english;
    std::string_view russian;
};

// The texts are kept exactly as users have always seen them, spelling included. Help texts keep
// their trailing blanks and final line feeds: the manual is printed as stored.
// clang-format off
constexpr StringEntry kStringTable[] = {
    {102,
     "Failed to open PKCS#12 key container.",
     "Ошибка при открытии файла ключевого контейнера PKCS#12."},
    {103,
     "Failed to open PKCS#12 key container file.",
     "Ошибка при открытии ключевого контейнера PKCS#12."},
    {104,
     "Failed to create Kalvion CSP key container.",
     "Произошла ошибка при создании ключевого контейнера Калвион CSP."},
    {105,
     "Failed to open Kalvion CSP key container.",
     "Произошла ошибка при открытии ключевого контейнера Калвион CSP."},
    {106,
     "Failed to create PKCS#12 key container for primary key.",
     "Ошибка создания ключевого контейнера PKCS#12 для первичного ключа."},
    {107,
     "Failed to create PKCS#12 key container for secondary key.",
     "Ошибка создания ключевого контейнера PKCS#12 для вторичного ключа."},
    {108,
     "Kalvion CSP key container is full. Cannot add extra keys.",
     "Ключевой контейнер Калвион CSP полностью заполнен. Невозможно добавить дополнительные ключи."},
    {109,
     "Unable to add different type key to Kalvion key container.",
     "Ошибка. Тип добавляемого ключа отличается от типа ключа в ключевом контейнере Калвион CSP."},
    {110,
     "Unable to add key of the same purpose to Kalvion container. ",
     "Ошибка. Назначение добавляемого ключа совпадает с назначением ключа в ключевом контейнере Калвион CSP."},
    {111,
     "Unable to repair Kalvion CSP key container.",
     "Невозможно восстановить указанный ключевой контейнер Калвион CSP."},
    {112,
     "Unsupported command.",
     "Данная команда не поддерживается."},
    {113,
     "Successfully finished.",
     "Операция успешно завершена."},
    {114,
     "Failed while executing.",
     "При выполнении операции произошла ошибка."},
    {115,
     "keymend.exe -p12tokv Import a key from PKCS#12 container into new Kalvion CSP container.\n"
     "    -rdrfolder <path to desired FAT_12 reader directory> \n"
     "    -contname <KV container friendly name> \n"
     "    -sg | -ex <setup key as signature key or key exchange key> \n"
     "    [-passkv <KV container password>] \n"
     "    [-passp12 <PKCS#12 container password>]\n"
     "    -infile <PKCS#12 file name>\n"
     "    [-noKVKM Do not use Kalvion KeyMeshing for encryption]\n"
     "    [-noMACVerify Do not check PKCS#12 container integrity] \n"
     " \n",
     "keymend.exe -p12tokv Импортировать ключ из контейнера PKCS#12 в новый контейнер Калвион CSP. \n"
     "    -rdrfolder <Путь к директории считывателя FAT_12> \n"
     "    -contname <Дружественное имя ключевого контейнера Калвион CSP> \n"
     "    -sg | -ex <Установить ключ как ключ подписи или ключевого обмена> \n"
     "    [-passkv <Пароль на ключевой контейнер Калвион CSP>] \n"
     "    [-passp12 <Пароль на ключевой контейнер PKCS#12>]\n"
     "    -infile <Имя файла, содержащего ключевой контейнер PKCS#12>\n"
     "    [-noKVKM При шифровании не использовать Kalvion KeyMeshing]\n"
     "    [-noMACVerify Не проверять целостность контейнера PKCS#12]\n"
     " \n"},
    {116,
     "keymend.exe -kvtop12 Export a key from Kalvion CSP container into new PKCS#12 container.\n"
     "    -contfolder <path to KV container directory> \n"
     "    [-passkv <KV container password>] \n"
     "    [-passp12 <PKCS#12 container password>] \n"
     "    [-mask <keep the key masked in PKCS#12 container>] \n"
     "    [-noKVKM Do not use Kalvion KeyMeshing for encryption]\n"
     "    -outdir <path to output directory for PKCS#12 file>\n"
     "\n",
     "keymend.exe -kvtop12 Экспортировать ключ из контейнера Калвион CSP в новый контейнер PKCS#12. \n"
     "    -contfolder <Путь к директории ключевого контейнера Калвион CSP> \n"
     "    [-passkv <Пароль на ключевой контейнер Калвион CSP>] \n"
     "    [-passp12 <Пароль на ключевой контейнер PKCS#12>] \n"
     "    [-mask <Сохранить ключ в контейнере PKCS#12 в маскированном виде>] \n"
     "    [-noKVKM При шифровании не использовать Kalvion KeyMeshing]\n"
     "    -outdir <Путь к директории для файла PKCS#12>\n"
     "\n"},
    {117,
     "keymend.exe -p12addtokv Import a key from PKCS#12 container into existing Kalvion CSP container.\n"
     "    -contfolder <path to KV container directory> \n"
     "    -sg | -ex <setup key as signature key or key exchange key> \n"
     "    [-passkv <KV container password>] \n"
     "    [-passp12 <PKCS#12 container password>] \n"
     "    -infile <PKCS#12 file name>\n"
     "    [-noKVKM Do not use Kalvion KeyMeshing for encryption]\n"
     "    [-noMACVerify Do not check PKCS#12 container integrity] \n"
     "\n",
     "keymend.exe -p12addtokv Импортировать ключ из контейнера PKCS#12 в существующий контейнер Калвион CSP. \n"
     "    -contfolder <Путь к директории ключевого контейнера Калвион CSP> \n"
     "    -sg | -ex <Установить ключ как ключ подписи или ключевого обмена> \n"
     "    [-passkv <Пароль на ключевой контейнер Калвион CSP>] \n"
     "    [-passp12 <Пароль на ключевой контейнер PKCS#12>] \n"
     "    -infile <Имя файла, содержащего ключевой контейнер PKCS#12>\n"
     "    [-noKVKM При шифровании не использовать Kalvion KeyMeshing]\n"
     "    [-noMACVerify Не проверять целостность контейнера PKCS#12] \n"
     "\n"},
    {118,
     "keymend.exe -kvrepair Fix corrupted Kalvion CSP container.\n"
     "    -contfolder <path to KV container directory> \n"
     "    -certex|-certsg <path to key exchange/signature key certificate, the use of both certificates together is allowed>\n"
     "    [-passkv <KV container password>] \n"
     "    [-exportableex <set up AT_KEYEXCHANGE key as exportable>] \n"
     "    [-exportablesg <set up AT_SIGNATURE key as exportable>] \n"
     "    [-dhallowed <set up GOST R 34.10-2012 key as allowed for key agreement, in case of AT_SIGNATURE>] \n"
     "    [-extendheader <Extend header up to 3 Kb>] \n"
     " \n",
     "keymend.exe -kvrepair Починить повреждённый контейнер Калвион CSP.\n"
     "    -contfolder <Путь к директории ключевого контейнера Калвион CSP> \n"
     "    -certex|-certsg <Путь к файлу сертификата ключа обмена/подписи. Должен быть указан как минимум один из сертификатов; допускается использование обоих>\n"
     "    [-passkv <Пароль на ключевой контейнер Калвион CSP>] \n"
     "    [-exportableex <Установить ключ AT_KEYEXCHANGE как экспортируемый>] \n"
     "    [-exportablesg <Установить ключ AT_SIGNATURE как экспортируемый>] \n"
     "    [-dhallowed <Разрешать использование ключа ГОСТ Р 34.10-2012 для ключевого обмена в случае, если он установлен как AT_SIGNATURE>] \n"
     "    [-extendheader <Удлинить заголовок до 3 Кб>] \n"
     " \n"},
    {119,
     "Usage: \n"
     "\n",
     "Использование: \n"
     "\n"},
    {120,
     "keymend.exe -kvpublic Export public key from corrupted Kalvion CSP container.\n"
     "    -contfolder <Path to KV container directory> \n"
     "    [-passkv <Kalvion key container password>] \n"
     "    [-provtype <75|80|81 for GOST R 34.10-2001, GOST R 34.10-2012 (256) and GOST R 34.10-2012 (512) respectively>] \n"
     "    [-oid <Primary key parameter OID>] \n"
     "    [-oid2 <Secondary key parameter OID>] \n",
     "keymend.exe -kvpublic Экспортировать открытый ключ из повреждённого контейнера Калвион CSP.\n"
     "    -contfolder <Путь к директории ключевого контейнера Калвион CSP> \n"
     "    [-passkv <Пароль ключевого контейнера Калвион CSP>] \n"
     "    [-provtype <75|80|81 для ключей ГОСТ Р 34.10-2001, ГОСТ Р 34.10-2012 (256) и ГОСТ Р 34.10-2012 (512) соответственно>] \n"
     "    [-oid <Объектный идентификатор параметров первичного ключа>] \n"
     "    [-oid2 <Объектный идентификатор параметров вторичного ключа>] \n"},
    {121,
     "Failed to retreive public key from Kalvion CSP key container.",
     "Невозможно извлечь открытый ключ из ключевого контейнера Калвион CSP."},
    {122,
     "    Notice. Key parameteres are selected as follows: the ones from header, then from command line if header is absent or corrupted, otherwise default parameteres are used. \n"
     "    Key algorithm is defined by header. If it is absent, -provtype must be used.\n",
     "    Примечание. Параметры ключей определяются со следующим приоритетом: из заголовка, при отсутствии - из параметров командной строки, если параметры не заданы - используются параметры по умолчанию.\n"
     "    Алгоритм ключа определяется из заголовка. Если он отсутствует или повреждён, алгоритм необходимо обязательно задавать через параметр -provtype.\n"},
    {123,
     "Wrong command line parameters! \n"
     "To see full command list run keymend.exe -help.",
     "Неправильные параметры командной строки. \n"
     "Для отображения полного списка команд запустите keymend.exe -help."},
    {124,
     "keymend -help Display this manual.\n"
     "\n",
     "keymend.exe -help Отобразить эту справку.\n"
     "\n"},
    {125,
     "Kalvion CSP key container is in use by another command.",
     "Ключевой контейнер Калвион CSP используется другой командой."},
    {126,
     "The signature key cannot be verified: its copies differ or only one is readable. Specify its certificate with -certsg.",
     "Невозможно проверить ключ подписи: его копии различаются или читается только одна. Укажите его сертификат в параметре -certsg."},
    {127,
     "Warning: the key without certificate was given the curve %1 and the digest parameters %2 from the other key's certificate; the old header does not confirm them.",
     "Предупреждение: ключу без сертификата назначены параметры кривой %1 и хэширования %2 из сертификата другого ключа; старый заголовок их не подтверждает."},
    {128,
     "Warning: no check value confirms the public key in %1; it was computed for provider type %2 on the curve %3.",
     "Предупреждение: открытый ключ в файле %1 не подтверждён контрольным значением; он вычислен для типа провайдера %2 на кривой %3."},
    {129,
     "The key exchange key cannot be verified: its copies differ or only one is readable. Specify its certificate with -certex.",
     "Невозможно проверить ключ обмена: его копии различаются или читается только одна. Укажите его сертификат в параметре -certex."},
    {130,
     "PKCS#12 key container file asks for too much work to open (too many iterations or parts).",
     "Открытие файла ключевого контейнера PKCS#12 требует слишком большого объёма вычислений (слишком много итераций или частей)."},
    {160,
     "PKCS#12 key container file is protected with an unsupported algorithm (%1).",
     "Ключевой контейнер PKCS#12 защищён неподдерживаемым алгоритмом (%1)."},
    {131,
     "\n"
     "keymend.exe <command> -passkvin | -passp12in <source> Read the KV or PKCS#12 container password from a source instead of -passkv or -passp12.\n"
     "    pass:<password> <the password itself> \n"
     "    env:<variable> <the value of an environment variable> \n"
     "    file:<path> <the first line of a file> \n"
     "    fd:<number> <the first line read from an open file descriptor (not on Windows)> \n"
     "    stdin <the first line of standard input, not echoed when typed on a terminal> \n"
     "\n",
     "\n"
     "keymend.exe <команда> -passkvin | -passp12in <источник> Прочитать пароль на ключевой контейнер Калвион CSP или PKCS#12 из источника вместо -passkv или -passp12.\n"
     "    pass:<пароль> <Сам пароль> \n"
     "    env:<переменная> <Значение переменной окружения> \n"
     "    file:<путь> <Первая строка файла> \n"
     "    fd:<номер> <Первая строка, прочитанная из открытого файлового дескриптора (кроме Windows)> \n"
     "    stdin <Первая строка стандартного ввода; при вводе с терминала не отображается> \n"
     "\n"},
    {140,
     "keymend.exe -kvtop12 Export the keys of Kalvion CSP container into new PKCS#12 containers signature.pfx and exchange.pfx.\n"
     "    -contfolder <path to KV container directory> \n"
     "    [-passkv <KV container password>] \n"
     "    [-passp12 <PKCS#12 container password>] \n"
     "    [-outdir <path to output directory for PKCS#12 files, the current directory by default>] \n"
     "    [-certsg|-certex <path to signature/key exchange key certificate, for a key whose header holds none>] \n"
     "    [-noKVKM Do not use Kalvion KeyMeshing for encryption]\n"
     "\n",
     "keymend.exe -kvtop12 Экспортировать ключи контейнера Калвион CSP в новые контейнеры PKCS#12 signature.pfx и exchange.pfx. \n"
     "    -contfolder <Путь к директории ключевого контейнера Калвион CSP> \n"
     "    [-passkv <Пароль на ключевой контейнер Калвион CSP>] \n"
     "    [-passp12 <Пароль на ключевой контейнер PKCS#12>] \n"
     "    [-outdir <Путь к директории для файлов PKCS#12, по умолчанию текущая директория>] \n"
     "    [-certsg|-certex <Путь к файлу сертификата ключа подписи/обмена, если в заголовке его нет>] \n"
     "    [-noKVKM При шифровании не использовать Kalvion KeyMeshing]\n"
     "\n"},
    {141,
     "The header of Kalvion CSP key container is damaged: the key parameters cannot be read from it. Repair the container with -kvrepair first.",
     "Заголовок ключевого контейнера Калвион CSP повреждён: параметры ключей из него не читаются. Сначала восстановите контейнер командой -kvrepair."},
    {142,
     "The signature key is not exportable. Its owner can allow export with keymend.exe -kvrepair -contfolder <path> -certsg <certificate> -exportablesg.",
     "Ключ подписи не является экспортируемым. Владелец ключа может разрешить экспорт командой keymend.exe -kvrepair -contfolder <путь> -certsg <сертификат> -exportablesg."},
    {143,
     "The key exchange key is not exportable. Its owner can allow export with keymend.exe -kvrepair -contfolder <path> -certex <certificate> -exportableex.",
     "Ключ обмена не является экспортируемым. Владелец ключа может разрешить экспорт командой keymend.exe -kvrepair -contfolder <путь> -certex <сертификат> -exportableex."},
    {144,
     "The file %1 already exists; nothing was written.",
     "Файл %1 уже существует; ничего не записано."},
    {145,
     "Cannot write to the directory %1; nothing was written.",
     "Невозможно записать в директорию %1; ничего не записано."},
    {146,
     "Cannot read the certificate file %1.",
     "Невозможно прочитать файл сертификата %1."},
    {147,
     "The certificate in %1 does not hold the public key of a key of its purpose in Kalvion CSP key container.",
     "Сертификат в файле %1 не содержит открытый ключ ключа соответствующего назначения из ключевого контейнера Калвион CSP."},
    {148,
     "Failed to export the keys of Kalvion CSP key container into PKCS#12 containers.",
     "Ошибка при экспорте ключей контейнера Калвион CSP в контейнеры PKCS#12."},
    {170,
     "Container %1 (\"%2\")",
     "Контейнер %1 («%2»)"},
    {171,
     "ok\n"
     "missing\n"
     "cannot be read (not a regular file, or access refused)\n"
     "over the size limit (%1 bytes)\n"
     "DAMAGED: not the expected DER record (byte %1)\n"
     "DAMAGED: unexpected bytes after the record (byte %1)",
     "в порядке\n"
     "отсутствует\n"
     "не читается (не обычный файл или нет доступа)\n"
     "превышает допустимый размер (%1 байт)\n"
     "ПОВРЕЖДЁН: не является ожидаемой записью DER (байт %1)\n"
     "ПОВРЕЖДЁН: лишние байты после записи (байт %1)"},
    {172,
     "record ok, integrity value %1, password %2, flags %3",
     "запись в порядке, имитовставка: %1, пароль: %2, флаги %3"},
    {173,
     "record ok, mask check value %1",
     "запись в порядке, контрольное значение маски: %1"},
    {174,
     "correct\n"
     "WRONG\n"
     "not checked (no check value)",
     "верно\n"
     "НЕВЕРНО\n"
     "не проверяется (нет контрольного значения)"},
    {175,
     "Key %1: %2, %3 (%4), curve %5, digest %6, encryption %7%8",
     "Ключ %1: %2, %3 (%4), кривая %5, хэширование %6, шифрование %7%8"},
    {176,
     "signature\n"
     "key exchange",
     "подпись\n"
     "обмен ключами"},
    {177,
     "exportable\n"
     "key agreement allowed",
     "экспортируемый\n"
     "разрешено согласование ключей"},
    {178,
     "GOST R 34.10-%1, %2-bit",
     "ГОСТ Р 34.10-%1, %2 бит"},
    {179,
     "copy %1: decrypts, matches the header's check value\n"
     "copy %1: decrypts, does NOT match the header's check value\n"
     "copy %1: decrypts; the header has no check value to compare with\n"
     "copy %1: cannot be read",
     "копия %1: расшифровывается, совпадает с контрольным значением заголовка\n"
     "копия %1: расшифровывается, НЕ совпадает с контрольным значением заголовка\n"
     "копия %1: расшифровывается; в заголовке нет контрольного значения для сравнения\n"
     "копия %1: не читается"},
    {180,
     "the two copies hold the same key\n"
     "the two copies hold DIFFERENT keys",
     "обе копии содержат один и тот же ключ\n"
     "копии содержат РАЗНЫЕ ключи"},
    {181,
     "certificate %1: %2, serial %3, valid %4 to %5, %6",
     "сертификат %1: %2, серийный номер %3, действителен с %4 по %5, %6"},
    {182,
     "in header\n"
     "holds this key's public key\n"
     "does NOT hold this key's public key\n"
     "holds no key of this container\n"
     "cannot be read\n"
     "not known whether it holds this key",
     "в заголовке\n"
     "содержит открытый ключ этого ключа\n"
     "НЕ содержит открытый ключ этого ключа\n"
     "не содержит ни одного ключа этого контейнера\n"
     "не читается\n"
     "неизвестно, содержит ли он этот ключ"},
    {183,
     "Key %1: not described by the header",
     "Ключ %1: не описан в заголовке"},
    {184,
     "Public keys: recoverable with -kvpublic\n"
     "Public keys: NOT recoverable with -kvpublic",
     "Открытые ключи: извлекаются командой -kvpublic\n"
     "Открытые ключи: НЕ извлекаются командой -kvpublic"},
    {185,
     "Verdict: healthy",
     "Заключение: контейнер исправен"},
    {186,
     "Verdict: damaged, repairable: %1",
     "Заключение: контейнер повреждён, восстановим: %1"},
    {187,
     "<certificate of key %1>",
     "<сертификат ключа %1>"},
    {188,
     "Verdict: damaged, not repairable without a certificate of its keys (-certsg or -certex <file>)",
     "Заключение: контейнер повреждён, восстановить его без сертификата ключей невозможно (-certsg или -certex <файл>)"},
    {189,
     "Verdict: damaged, not repairable without the certificate of the key exchange key (-certex <file>)",
     "Заключение: контейнер повреждён, восстановить его без сертификата ключа обмена невозможно (-certex <файл>)"},
    {190,
     "Verdict: damaged, not repairable without the certificate of the signature key (-certsg <file>)",
     "Заключение: контейнер повреждён, восстановить его без сертификата ключа подписи невозможно (-certsg <файл>)"},
    {191,
     "Verdict: damaged, not repairable: a certificate cannot be used (unreadable, not a key certificate of an accepted curve, or of another algorithm)",
     "Заключение: контейнер повреждён, восстановление невозможно: сертификат непригоден (не читается, не является сертификатом ключа на допустимой кривой или относится к другому алгоритму)"},
    {192,
     "Verdict: damaged, not repairable: no key copy gives the certificates' keys (the password is wrong, or both copies are damaged)",
     "Заключение: контейнер повреждён, восстановление невозможно: ни одна копия не даёт ключей сертификатов (неверный пароль или повреждены обе копии)"},
    {193,
     "Verdict: wrong password",
     "Заключение: неверный пароль"},
    {194,
     "Verdict: not a container",
     "Заключение: это не ключевой контейнер"},
    {195,
     "Verdict: an interrupted rewrite is pending; the next command that writes to the container completes or undoes it",
     "Заключение: прерванная перезапись не завершена; следующая команда, изменяющая контейнер, завершит или отменит её"},
    {196,
     "keymend.exe -kvcheck Diagnose Kalvion CSP container without changing it.\n"
     "    -contfolder <path to KV container directory> \n"
     "    [-passkv <KV container password>] \n"
     "    [-certex|-certsg <path to key exchange/signature key certificate to compare with the keys>] \n"
     "    Exit code 0 only when the container is healthy and the password is correct. \n"
     "\n",
     "keymend.exe -kvcheck Проверить контейнер Калвион CSP, не изменяя его.\n"
     "    -contfolder <Путь к директории ключевого контейнера Калвион CSP> \n"
     "    [-passkv <Пароль на ключевой контейнер Калвион CSP>] \n"
     "    [-certex|-certsg <Путь к файлу сертификата ключа обмена/подписи для сравнения с ключами>] \n"
     "    Код завершения 0 - только если контейнер исправен и пароль верен. \n"
     "\n"},
    {197,
     "Verdict: damaged, not repairable until what takes the place of a key file (a folder, a link) is moved away",
     "Заключение: контейнер повреждён, восстановление невозможно, пока на месте файла ключа находится другой объект (папка, ссылка)"},
    {198,
     "The repair rebuilds both copies from copy %1.",
     "Восстановление пересоздаст обе копии из копии %1."},
    {200,
     "keymend.exe -version Display the version of keymend and the platform it was built for.\n"
     "\n",
     "keymend.exe -version Отобразить версию keymend и платформу, для которой он собран.\n"
     "\n"},
};
// clang-format on

}  // namespace

std::string_view MessageText(int id, Language language) {
    for (const StringEntry& entry : kStringTable) {
        if (entry.id == id) return language == Language::kRussian ? entry.russian : entry.english;
    }
    return {};
}

}  // namespace keymend
