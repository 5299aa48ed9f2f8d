#include "admin/FileErrors.h"

#include "platform/pfile.h"

std::string FileErrorText(int dosError) {
  switch (dosError) {
    case plat::kErrFileNotFound: return "plik nie istnieje";
    case plat::kErrPathNotFound: return "katalog nie istnieje";
    case plat::kErrAccessDenied: return "brak dostępu";
    case plat::kErrSharingViolation: return "plik jest używany przez inny proces";
    case plat::kErrLockViolation: return "plik jest zablokowany";
    case plat::kErrDiskFull: return "brak miejsca na dysku";
    default: return "błąd " + std::to_string(dosError);
  }
}
