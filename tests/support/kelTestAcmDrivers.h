#pragma once
// Where the installable test compression drivers are (built from
// tests/support/acmdriver, one shared object per form; a test target that
// loads them adds `add_dependencies(<target> kel_test_acm_drivers)`).
// Forms: "good", "noproc", "oversized", "size0", "size4g", "failconvert";
// kelTestAcmDriver.cpp says what each does. Header only.

#include <string>

#ifndef KEL_TEST_ACM_DRIVER_DIR
#error "kelTestAcmDrivers.h needs KEL_TEST_ACM_DRIVER_DIR (kel::testsupport defines it)"
#endif

inline std::string kelTestAcmDriverPath(const std::string& form)
{
    return std::string(KEL_TEST_ACM_DRIVER_DIR) + "/kel_test_acm_driver_" + form + ".so";
}

inline std::u16string kelTestAcmDriverName(const std::string& form)
{
    const std::string path = kelTestAcmDriverPath(form);
    return std::u16string(path.begin(), path.end());
}
