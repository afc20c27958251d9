#include "crypto/keyobject.h"

#include "crypto/rsa.h"
#include "crypto/status.h"

using namespace crypto_status;

std::int32_t KEYOBJ_init(KeyObject* key) {
    if (key == nullptr) return ERR_NULL_POINTER;
    key->type = KEY_TYPE_EMPTY;
    key->key = nullptr;
    return OK;
}

std::int32_t KEYOBJ_release(KeyObject* key) {
    if (key == nullptr) return ERR_NULL_POINTER;
    if (key->type == KEY_TYPE_RSA && key->key != nullptr) {
        auto* rsa = static_cast<RsaKey*>(key->key);
        RSA_freeKey(&rsa);
    }
    // No other key type is ever built by this library, so no other record can be held here.
    key->type = KEY_TYPE_EMPTY;
    key->key = nullptr;
    return OK;
}

std::int32_t KEYOBJ_copy(const KeyObject* source, KeyObject* target) {
    if (source == nullptr || target == nullptr) return ERR_NULL_POINTER;
    KEYOBJ_release(target);
    if (source->type == KEY_TYPE_EMPTY) return OK;
    if (source->type != KEY_TYPE_RSA || source->key == nullptr) return ERR_BAD_KEY_TYPE;
    RsaKey* copy = nullptr;
    const std::int32_t status = RSA_cloneKey(static_cast<const RsaKey*>(source->key), &copy);
    if (status < 0) return status;
    target->type = KEY_TYPE_RSA;
    target->key = copy;
    return OK;
}
