// quillon.contact: address validation through email_validator.
#include "classbuild.h"
