// Width-dispatching field operations.
#include "crypto/ec/field.h"

namespace keymend {

bool FieldAdd(const EcCurve& c, Digit* r, const Digit* a, const Digit* b) {
    return c.digits == 4 ? FieldAddN<4>(c, r, a, b) : FieldAddN<8>(c, r, a, b);
}

bool FieldSub(const EcCurve& c, Digit* r, const Digit* a, const Digit* b) {
    return c.digits == 4 ? FieldSubN<4>(c, r, a, b) : FieldSubN<8>(c, r, a, b);
}

bool FieldMul(const EcCurve& c, Digit* r, const Digit* a, const Digit* b) {
    return c.digits == 4 ? FieldMulN<4>(c, r, a, b) : FieldMulN<8>(c, r, a, b);
}

bool FieldSqr(const EcCurve& c, Digit* r, const Digit* a) {
    return c.digits == 4 ? FieldSqrN<4>(c, r, a) : FieldSqrN<8>(c, r, a);
}

bool FieldMulSmall(const EcCurve& c, Digit* r, const Digit* a, Digit k) {
    return c.digits == 4 ? FieldMulSmallN<4>(c, r, a, k) : FieldMulSmallN<8>(c, r, a, k);
}

}  // namespace keymend
