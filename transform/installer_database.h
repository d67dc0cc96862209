// The installer database as Setupsmith uses it: open a package, run a statement, commit, and
// write the difference between two packages as a transform. Windows goes through the Windows
// Installer (msi.dll); POSIX through libmsi, with a transform writer of its own, since libmsi
// can apply a transform but not make one.
//
// Every operation returns 0 or a Win32 installer error code; when the installer has more to
// say about the failure, TakeInstallerErrorText gives it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>

#include "base/string.h"

namespace qv {

enum class DATABASE_ACCESS {
    READ_ONLY,
    TRANSACTED,  // changes reach the file at Commit
};

struct DATABASE_STATE;
struct VIEW_STATE;

class INSTALLER_DATABASE {
public:
    INSTALLER_DATABASE();
    ~INSTALLER_DATABASE();
    INSTALLER_DATABASE(const INSTALLER_DATABASE&) = delete;
    INSTALLER_DATABASE& operator=(const INSTALLER_DATABASE&) = delete;

    uint32_t Open(const STRING& path, DATABASE_ACCESS access);
    uint32_t Commit();
    void Close();

    // The platform's own handle and what it needs besides.
    DATABASE_STATE& State() { return *Platform; }

private:
    std::unique_ptr<DATABASE_STATE> Platform;
};

// One prepared statement on a database.
class INSTALLER_VIEW {
public:
    INSTALLER_VIEW();
    ~INSTALLER_VIEW();
    INSTALLER_VIEW(const INSTALLER_VIEW&) = delete;
    INSTALLER_VIEW& operator=(const INSTALLER_VIEW&) = delete;

    // Prepares the statement; each '?' in it is a parameter that Execute fills.
    uint32_t Open(INSTALLER_DATABASE& database, const char16_t* statement);
    // Runs the statement with one text per parameter, in order. Parameters are values, never
    // statement text: any text is stored exactly as given.
    uint32_t Execute(std::initializer_list<const char16_t*> parameters = {});
    // Fetches the next row and reads the text of its field 'field' (from 1). ERR_NO_MORE_ITEMS
    // when there is no row left.
    uint32_t FetchText(uint32_t field, STRING& text);
    void Close();

private:
    std::unique_ptr<VIEW_STATE> Platform;
};

// Writes to 'transformPath' the transform that turns 'reference' into 'database'.
uint32_t GenerateTransform(INSTALLER_DATABASE& database, INSTALLER_DATABASE& reference, const STRING& transformPath);
// Adds the transform's summary information: the packages it was made from, with no
// validation and no error conditions to suppress.
uint32_t CreateTransformSummaryInfo(INSTALLER_DATABASE& database, INSTALLER_DATABASE& reference,
                                    const STRING& transformPath);

// The installer's detail of its last failure on this thread, and forgets it; empty when there
// is none.
STRING TakeInstallerErrorText();

}  // namespace qv
