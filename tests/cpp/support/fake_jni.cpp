#include "tests/cpp/support/fake_jni.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

namespace fakejni {

FakeJvm* FakeJvm::current = nullptr;

namespace {

FakeJvm& jvm() { return *FakeJvm::current; }

Object* obj(jobject handle) { return jvm().object(handle); }

// Any JNI function the fake does not implement lands here: a library that
// starts to need one must make the test fail loudly, not misbehave.
void unimplemented() {
    ADD_FAILURE() << "the library called a JNI function the fake JVM does not implement";
    abort();
}

jint JNICALL GetEnv(JavaVM*, void** penv, jint version) {
    if (jvm().getEnvResult != JNI_OK) {
        *penv = nullptr;
        return jvm().getEnvResult;
    }
    EXPECT_EQ(version, JNI_VERSION_1_6);
    *penv = jvm().env();
    return JNI_OK;
}

jclass JNICALL FindClass(JNIEnv*, const char* name) {
    jvm().calls.push_back(std::string("FindClass ") + name);
    if (jvm().refuse("FindClass", jvm().failFindClassAt) || jvm().missingClasses.count(name)) {
        jvm().raise("java/lang/NoClassDefFoundError", name);
        return nullptr;
    }
    Object o;
    o.kind = "class";
    o.className = name;
    return static_cast<jclass>(jvm().make(o));
}

jint JNICALL RegisterNatives(JNIEnv*, jclass clazz, const JNINativeMethod* methods, jint n) {
    Object* c = obj(clazz);
    jvm().calls.push_back("RegisterNatives " + c->className);
    if (jvm().refuse("RegisterNatives", jvm().failRegisterNativesAt)) {
        jvm().raise("java/lang/NoSuchMethodError", c->className);
        return JNI_ERR;
    }
    Registration r;
    r.className = c->className;
    for (jint i = 0; i < n; ++i) {
        if (jvm().missingMethods.count(methods[i].name)) {
            jvm().raise("java/lang/NoSuchMethodError", methods[i].name);
            return JNI_ERR;
        }
        r.names.push_back(methods[i].name);
        r.signatures.push_back(methods[i].signature);
        r.functions.push_back(methods[i].fnPtr);
    }
    jvm().registrations.push_back(r);
    return JNI_OK;
}

jobject JNICALL NewGlobalRef(JNIEnv*, jobject ref) {
    if (jvm().refuse("NewGlobalRef", jvm().failNewGlobalRefAt)) {
        jvm().raise("java/lang/OutOfMemoryError", "global refs");
        return nullptr;
    }
    Object o = *obj(ref);
    o.global = true;
    o.deleted = false;
    jvm().calls.push_back("NewGlobalRef " + o.className);
    return jvm().make(o);
}

void JNICALL DeleteGlobalRef(JNIEnv*, jobject ref) {
    Object* o = obj(ref);
    EXPECT_TRUE(o->global) << "DeleteGlobalRef of a local reference";
    EXPECT_FALSE(o->deleted) << "global reference deleted twice: " << o->className;
    o->deleted = true;
    jvm().calls.push_back("DeleteGlobalRef " + o->className);
}

void JNICALL DeleteLocalRef(JNIEnv*, jobject ref) {
    if (ref != nullptr) {
        EXPECT_FALSE(obj(ref)->global) << "DeleteLocalRef of a global reference";
    }
    jvm().counts["DeleteLocalRef"]++;
}

jmethodID JNICALL GetMethodID(JNIEnv*, jclass clazz, const char* name, const char* sig) {
    jvm().calls.push_back(std::string("GetMethodID ") + obj(clazz)->className + "." + name + sig);
    if (jvm().refuse("GetMethodID", jvm().failGetMethodIdAt)) {
        jvm().raise("java/lang/NoSuchMethodError", name);
        return nullptr;
    }
    static char ids[1024];
    jmethodID id = reinterpret_cast<jmethodID>(&ids[jvm().counts["GetMethodID"] % 1024]);
    jvm().methodNames[id] = name;
    return id;
}

jfieldID JNICALL GetFieldID(JNIEnv*, jclass clazz, const char* name, const char* sig) {
    jvm().calls.push_back(std::string("GetFieldID ") + obj(clazz)->className + "." + name);
    if (jvm().refuse("GetFieldID", jvm().failGetFieldIdAt) || jvm().missingFields.count(name)) {
        jvm().raise("java/lang/NoSuchFieldError", name);
        return nullptr;
    }
    static char ids[1024];
    jfieldID id = reinterpret_cast<jfieldID>(&ids[jvm().counts["GetFieldID"] % 1024]);
    jvm().fieldNames[id] = name;
    return id;
}

// A buffer's position or limit by member name. Allocates nothing: the natives
// that read them are checked for allocation with this fake in place.
jint bufferMember(jobject o, const std::map<const void*, std::string>& names, const void* id) {
    auto it = names.find(id);
    if (it == names.end()) {
        ADD_FAILURE() << "an id the fake JVM never handed out";
        return 0;
    }
    Object* b = obj(o);
    if (it->second == "position") {
        return b->position;
    }
    if (it->second == "limit") {
        return b->limit;
    }
    ADD_FAILURE() << "the fake JVM knows no int member " << it->second;
    return 0;
}

jint JNICALL GetIntField(JNIEnv*, jobject o, jfieldID id) {
    return bufferMember(o, jvm().fieldNames, id);
}

jint JNICALL CallIntMethodV(JNIEnv*, jobject o, jmethodID id, va_list) {
    return bufferMember(o, jvm().methodNames, id);
}

void JNICALL ExceptionClear(JNIEnv*) {
    jvm().calls.push_back("ExceptionClear");
    jvm().clearException();
}

jboolean JNICALL ExceptionCheck(JNIEnv*) { return jvm().exceptionPending() ? JNI_TRUE : JNI_FALSE; }

jthrowable JNICALL ExceptionOccurred(JNIEnv*) {
    return reinterpret_cast<jthrowable>(jvm().pending_);
}

jint JNICALL ThrowNew(JNIEnv*, jclass clazz, const char* message) {
    EXPECT_NE(clazz, nullptr) << "ThrowNew with a null class";
    EXPECT_NE(message, nullptr);
    jvm().raise(obj(clazz)->className, message ? message : "");
    return JNI_OK;
}

jint JNICALL Throw(JNIEnv*, jthrowable t) {
    Object* o = obj(t);
    jvm().raise(o->className, o->text, false);
    return JNI_OK;
}

jobject JNICALL NewObjectV(JNIEnv*, jclass clazz, jmethodID, va_list args) {
    Object* c = obj(clazz);
    if (jvm().refuse("NewObject", jvm().failNewObjectAt)) {
        jvm().raise("java/lang/OutOfMemoryError", "NewObject");
        return nullptr;
    }
    Object o;
    o.kind = "object";
    o.className = c->className;
    // Constructors the library calls take at most five arguments; keep the raw words.
    for (int i = 0; i < 5; ++i) {
        jvalue v;
        v.j = va_arg(args, jlong);
        o.ctorArgs.push_back(v);
    }
    return jvm().make(o);
}

jobject JNICALL NewObjectA(JNIEnv*, jclass clazz, jmethodID, const jvalue* args) {
    unimplemented();
    return nullptr;
}

jobject JNICALL NewDirectByteBuffer(JNIEnv*, void* address, jlong capacity) {
    if (jvm().refuse("NewDirectByteBuffer", jvm().failNewDirectByteBufferAt)) {
        jvm().raise("java/lang/OutOfMemoryError", "NewDirectByteBuffer");
        return nullptr;
    }
    return jvm().newDirectBuffer(address, capacity);
}

void* JNICALL GetDirectBufferAddress(JNIEnv*, jobject buffer) {
    if (buffer == nullptr) {
        return nullptr;
    }
    return obj(buffer)->address;
}

jlong JNICALL GetDirectBufferCapacity(JNIEnv*, jobject buffer) {
    return buffer == nullptr ? -1 : obj(buffer)->capacity;
}

jclass JNICALL GetObjectClass(JNIEnv*, jobject o) {
    Object c;
    c.kind = "class";
    c.className = obj(o)->className;
    return static_cast<jclass>(jvm().make(c));
}

jstring JNICALL NewStringUTF(JNIEnv*, const char* text) {
    if (jvm().refuse("NewStringUTF", jvm().failNewStringUtfAt)) {
        jvm().raise("java/lang/OutOfMemoryError", "NewStringUTF");
        return nullptr;
    }
    Object o;
    o.kind = "string";
    o.className = "java/lang/String";
    o.text = text;
    return static_cast<jstring>(jvm().make(o));
}

const char* JNICALL GetStringUTFChars(JNIEnv*, jstring s, jboolean* isCopy) {
    if (isCopy) {
        *isCopy = JNI_FALSE;
    }
    return obj(s)->text.c_str();
}

void JNICALL ReleaseStringUTFChars(JNIEnv*, jstring, const char*) {
    jvm().counts["ReleaseStringUTFChars"]++;
}

jbyteArray JNICALL NewByteArray(JNIEnv*, jsize length) {
    if (jvm().refuse("NewByteArray", jvm().failNewByteArrayAt)) {
        jvm().raise("java/lang/OutOfMemoryError", "NewByteArray");
        return nullptr;
    }
    return jvm().newByteArray(std::vector<jbyte>(length));
}

jsize JNICALL GetArrayLength(JNIEnv*, jarray array) {
    Object* o = obj(array);
    return static_cast<jsize>(!o->bytes.empty() ? o->bytes.size()
                              : !o->ints.empty() ? o->ints.size()
                                                 : o->elements.size());
}

void JNICALL GetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize len, jbyte* buf) {
    Object* o = obj(array);
    if (start < 0 || len < 0 || static_cast<size_t>(start) + len > o->bytes.size()) {
        jvm().raise("java/lang/ArrayIndexOutOfBoundsException", "GetByteArrayRegion");
        return;
    }
    if (len > 0) {
        memcpy(buf, o->bytes.data() + start, len);
    }
}

void JNICALL SetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize len,
                                const jbyte* buf) {
    Object* o = obj(array);
    if (start < 0 || len < 0 || static_cast<size_t>(start) + len > o->bytes.size()) {
        jvm().raise("java/lang/ArrayIndexOutOfBoundsException", "SetByteArrayRegion");
        return;
    }
    if (len > 0) {
        memcpy(o->bytes.data() + start, buf, len);
    }
}

jbyte* JNICALL GetByteArrayElements(JNIEnv*, jbyteArray array, jboolean* isCopy) {
    if (isCopy) {
        *isCopy = JNI_FALSE;
    }
    return obj(array)->bytes.data();
}

void JNICALL ReleaseByteArrayElements(JNIEnv*, jbyteArray, jbyte*, jint) {
    jvm().counts["ReleaseByteArrayElements"]++;
}

jintArray JNICALL NewIntArray(JNIEnv*, jsize length) {
    if (jvm().refuse("NewIntArray", jvm().failNewIntArrayAt)) {
        jvm().raise("java/lang/OutOfMemoryError", "NewIntArray");
        return nullptr;
    }
    Object o;
    o.kind = "array";
    o.className = "[I";
    o.ints.assign(length, 0);
    return static_cast<jintArray>(jvm().make(o));
}

void JNICALL SetIntArrayRegion(JNIEnv*, jintArray array, jsize start, jsize len, const jint* buf) {
    Object* o = obj(array);
    ASSERT_LE(static_cast<size_t>(start) + len, o->ints.size());
    memcpy(o->ints.data() + start, buf, len * sizeof(jint));
}

jobjectArray JNICALL NewObjectArray(JNIEnv*, jsize length, jclass, jobject init) {
    if (jvm().refuse("NewObjectArray", jvm().failNewObjectArrayAt)) {
        jvm().raise("java/lang/OutOfMemoryError", "NewObjectArray");
        return nullptr;
    }
    Object o;
    o.kind = "array";
    o.className = "[Ljava/lang/Object;";
    o.elements.assign(length, init);
    return static_cast<jobjectArray>(jvm().make(o));
}

void JNICALL SetObjectArrayElement(JNIEnv*, jobjectArray array, jsize index, jobject value) {
    Object* o = obj(array);
    ASSERT_LT(static_cast<size_t>(index), o->elements.size());
    o->elements[index] = value;
}

jobject JNICALL GetObjectArrayElement(JNIEnv*, jobjectArray array, jsize index) {
    Object* o = obj(array);
    if (static_cast<size_t>(index) >= o->elements.size()) {
        jvm().raise("java/lang/ArrayIndexOutOfBoundsException", "GetObjectArrayElement");
        return nullptr;
    }
    return o->elements[index];
}

}  // namespace

FakeJvm::FakeJvm() {
    current = this;
    // Every slot traps until set below.
    void** slots = reinterpret_cast<void**>(&functions_);
    for (size_t i = 0; i < sizeof(functions_) / sizeof(void*); ++i) {
        slots[i] = reinterpret_cast<void*>(unimplemented);
    }
    functions_.reserved0 = functions_.reserved1 = functions_.reserved2 = functions_.reserved3 =
        nullptr;
    functions_.FindClass = FindClass;
    functions_.RegisterNatives = RegisterNatives;
    functions_.NewGlobalRef = NewGlobalRef;
    functions_.DeleteGlobalRef = DeleteGlobalRef;
    functions_.DeleteLocalRef = DeleteLocalRef;
    functions_.GetMethodID = GetMethodID;
    functions_.GetFieldID = GetFieldID;
    functions_.GetIntField = GetIntField;
    functions_.CallIntMethodV = CallIntMethodV;
    functions_.ExceptionClear = ExceptionClear;
    functions_.ExceptionCheck = ExceptionCheck;
    functions_.ExceptionOccurred = ExceptionOccurred;
    functions_.ThrowNew = ThrowNew;
    functions_.Throw = Throw;
    functions_.NewObjectV = NewObjectV;
    functions_.NewObjectA = NewObjectA;
    functions_.NewDirectByteBuffer = NewDirectByteBuffer;
    functions_.GetDirectBufferAddress = GetDirectBufferAddress;
    functions_.GetDirectBufferCapacity = GetDirectBufferCapacity;
    functions_.GetObjectClass = GetObjectClass;
    functions_.NewStringUTF = NewStringUTF;
    functions_.GetStringUTFChars = GetStringUTFChars;
    functions_.ReleaseStringUTFChars = ReleaseStringUTFChars;
    functions_.NewByteArray = NewByteArray;
    functions_.GetArrayLength = GetArrayLength;
    functions_.GetByteArrayRegion = GetByteArrayRegion;
    functions_.SetByteArrayRegion = SetByteArrayRegion;
    functions_.GetByteArrayElements = GetByteArrayElements;
    functions_.ReleaseByteArrayElements = ReleaseByteArrayElements;
    functions_.NewIntArray = NewIntArray;
    functions_.SetIntArrayRegion = SetIntArrayRegion;
    functions_.NewObjectArray = NewObjectArray;
    functions_.SetObjectArrayElement = SetObjectArrayElement;
    functions_.GetObjectArrayElement = GetObjectArrayElement;
    env_.functions = &functions_;

    memset(&invoke_, 0, sizeof(invoke_));
    invoke_.GetEnv = GetEnv;
    vm_.functions = &invoke_;
}

FakeJvm::~FakeJvm() {
    if (current == this) {
        current = nullptr;
    }
}

int FakeJvm::liveGlobalRefs() const {
    int live = 0;
    for (const Object& o : objects_) {
        live += o.global && !o.deleted;
    }
    return live;
}

jobject FakeJvm::make(Object o) {
    objects_.push_back(o);
    return reinterpret_cast<jobject>(&objects_.back());
}

Object* FakeJvm::object(jobject handle) {
    EXPECT_NE(handle, nullptr) << "the library passed a null reference to the JVM";
    return reinterpret_cast<Object*>(handle);
}

bool FakeJvm::refuse(const char* function, int failAt) {
    int n = ++counts[function];
    if (++refusableCalls == failCallAt) {
        refused = function;
        // Functions that record themselves do so before asking: theirs is the last entry.
        refusedCall = calls.empty() ? "" : calls.back();
        return true;
    }
    return failAt != 0 && n == failAt;
}

void FakeJvm::raise(const std::string& className, const std::string& message, bool hasMessage) {
    Object o;
    o.kind = "throwable";
    o.className = className;
    o.text = message;
    pending_ = reinterpret_cast<Object*>(make(o));
    pendingHasMessage_ = hasMessage;
}

jbyteArray FakeJvm::newByteArray(const std::vector<jbyte>& bytes) {
    Object o;
    o.kind = "array";
    o.className = "[B";
    o.bytes = bytes;
    return static_cast<jbyteArray>(make(o));
}

std::vector<jbyte> FakeJvm::bytesOf(jobject array) { return object(array)->bytes; }

jobject FakeJvm::newDirectBuffer(void* address, jlong capacity) {
    Object o;
    o.kind = "buffer";
    o.className = "java/nio/DirectByteBuffer";
    o.address = address;
    o.capacity = capacity;
    o.limit = static_cast<jint>(capacity);
    return make(o);
}

void* FakeJvm::nativeFunction(const std::string& className, const std::string& name) const {
    for (const Registration& r : registrations) {
        if (r.className == className) {
            for (size_t i = 0; i < r.names.size(); ++i) {
                if (r.names[i] == name) {
                    return r.functions[i];
                }
            }
        }
    }
    return nullptr;
}

}  // namespace fakejni
