#ifndef OVREL_TESTS_FAKE_JNI_H_
#define OVREL_TESTS_FAKE_JNI_H_

// A JVM of our own for the C++ tests: a JNI function table that records what
// the library asks of it and refuses chosen calls, so that the failure paths
// of loading and of the natives can be reached without a real JVM.

#include <jni.h>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fakejni {

// What a handle points at. Classes, objects, strings and arrays are all one kind.
struct Object {
    std::string kind;       // "class", "object", "string", "array", "buffer", "throwable"
    std::string className;  // for classes and instances
    std::string text;       // strings, exception messages
    std::vector<jbyte> bytes;
    std::vector<jint> ints;
    std::vector<jobject> elements;
    void* address = nullptr;  // direct buffers
    jlong capacity = 0;
    jint position = 0;  // direct buffers: what GetIntField / CallIntMethod read back
    jint limit = 0;
    std::vector<jvalue> ctorArgs;  // arguments NewObject received
    bool global = false;
    bool deleted = false;
};

struct Registration {
    std::string className;
    std::vector<std::string> names;
    std::vector<std::string> signatures;
    std::vector<void*> functions;
};

class FakeJvm {
public:
    FakeJvm();
    ~FakeJvm();

    JNIEnv* env() { return &env_; }
    JavaVM* vm() { return &vm_; }

    // Refusals. "At" counts calls of that function from 1; 0 never refuses.
    jint getEnvResult = JNI_OK;
    int failFindClassAt = 0;
    std::set<std::string> missingClasses;  // FindClass fails for these names
    int failRegisterNativesAt = 0;
    std::set<std::string> missingMethods;  // RegisterNatives fails on a class with any of these names
    int failNewGlobalRefAt = 0;
    int failGetMethodIdAt = 0;
    int failGetFieldIdAt = 0;
    std::set<std::string> missingFields;  // GetFieldID fails for these names
    int failNewObjectAt = 0;
    int failNewByteArrayAt = 0;
    int failNewStringUtfAt = 0;
    int failNewDirectByteBufferAt = 0;
    int failNewIntArrayAt = 0;
    int failNewObjectArrayAt = 0;
    // Refuses the n-th call counted across every refusable function above
    // (FindClass, RegisterNatives, NewGlobalRef, GetMethodID, GetFieldID,
    // NewObject, NewByteArray, NewStringUTF, NewDirectByteBuffer, NewIntArray,
    // NewObjectArray), for sweeps over "fail at call k" of a whole load or native.
    int failCallAt = 0;
    int refusableCalls = 0;  // calls of those functions so far
    std::string refused;     // the function failCallAt refused, "" until then
    std::string refusedCall; // for functions listed in `calls`, its entry ("GetFieldID C.f")

    // Records.
    std::vector<std::string> calls;          // "FindClass name", "DeleteGlobalRef name", ...
    std::vector<Registration> registrations;  // successful RegisterNatives calls
    std::map<std::string, int> counts;       // calls per JNI function
    // The member name behind each id handed out, so that GetIntField and
    // CallIntMethod answer "position" and "limit" from the Object.
    std::map<const void*, std::string> fieldNames;
    std::map<const void*, std::string> methodNames;
    int liveGlobalRefs() const;

    // The pending exception, as the library left it.
    bool exceptionPending() const { return pending_ != nullptr; }
    std::string pendingClass() const { return pending_ ? pending_->className : ""; }
    std::string pendingMessage() const { return pending_ ? pending_->text : ""; }
    bool pendingHasMessage() const { return pendingHasMessage_; }
    void clearException() { pending_ = nullptr; }

    // Objects for calling natives.
    jbyteArray newByteArray(const std::vector<jbyte>& bytes);
    std::vector<jbyte> bytesOf(jobject array);
    jobject newDirectBuffer(void* address, jlong capacity);
    Object* object(jobject handle);

    // The function registered for className.name, or null.
    void* nativeFunction(const std::string& className, const std::string& name) const;

    // Internal, used by the function table.
    static FakeJvm* current;
    jobject make(Object o);
    bool refuse(const char* function, int failAt);
    void raise(const std::string& className, const std::string& message, bool hasMessage = true);
    Object* pending_ = nullptr;
    bool pendingHasMessage_ = false;

private:
    JNINativeInterface_ functions_;
    JNIEnv env_;
    JNIInvokeInterface_ invoke_;
    JavaVM vm_;
    std::deque<Object> objects_;
};

}  // namespace fakejni

#endif
