package io.ovrel.channel;

/**
 * Raised by the native library (through JNI {@code ThrowNew}, which needs the
 * public {@code (String)} constructor) when a system call fails unexpectedly.
 */
public class ChannelException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public ChannelException() {
    }

    public ChannelException(String message) {
        super(message);
    }

    public ChannelException(String message, Throwable cause) {
        super(message, cause);
    }
}
