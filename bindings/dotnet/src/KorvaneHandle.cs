using System;
using System.Runtime.InteropServices;
using System.Threading;

namespace Korvane
{
    /// <summary>
    /// Owns one connection handle of the library and disconnects it exactly once: on Dispose,
    /// or from the finaliser when the owner forgot to.
    /// </summary>
    /// <remarks>
    /// The library frees the handle in Korvane_Disconnect, which must not overlap another call
    /// on it. SafeHandle's reference count gives exactly that: every call holds a reference
    /// (<see cref="Lease"/>), a Dispose during a call only marks the handle closed, and the
    /// disconnect runs when the last call has returned. A closed handle hands out no further
    /// references, so the freed pointer is never passed to the library again.
    /// The handle keeps its own mark of a Dispose: SafeHandle's IsClosed and the refusal of
    /// new references after a Dispose that waits for calls in flight differ between
    /// runtimes (Mono keeps both open until the last call returns).
    /// </remarks>
    internal sealed class KorvaneHandle : SafeHandle
    {
        private int disposed;

        // Created by the marshaller for Korvane_Connect's out parameter, which stores the
        // pointer into the object without a window in which it could be lost.
        private KorvaneHandle() : base(IntPtr.Zero, true) {}

        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        /// <summary>True once Dispose has begun, also while calls in flight delay the
        /// disconnect.</summary>
        internal bool IsDisposed
        {
            get { return Volatile.Read(ref disposed) != 0; }
        }

        protected override void Dispose(bool disposing)
        {
            Volatile.Write(ref disposed, 1);
            base.Dispose(disposing);
        }

        protected override bool ReleaseHandle()
        {
            // Korvane_Disconnect fails only for a null handle, which is never released.
            return NativeMethods.Korvane_Disconnect(handle) == 0;
        }

        /// <summary>A reference on the open handle for the length of one call, or null when the
        /// handle has been closed.</summary>
        internal Lease TryLease()
        {
            bool added = false;
            try
            {
                DangerousAddRef(ref added);
            }
            catch (ObjectDisposedException)
            {
                return null;
            }
            // Marked after the reference was taken: that call began before the Dispose and
            // holds the disconnect back; marked before: refused.
            if (IsDisposed)
            {
                if (added) DangerousRelease();
                return null;
            }
            return new Lease(this, added);
        }

        /// <summary>Keeps the handle from being disconnected until disposed.</summary>
        internal sealed class Lease : IDisposable
        {
            private KorvaneHandle owner;
            private readonly bool added;

            internal Lease(KorvaneHandle owner, bool added)
            {
                this.owner = owner;
                this.added = added;
                Pointer = owner.DangerousGetHandle();
            }

            /// <summary>The raw handle, valid until this lease is disposed.</summary>
            internal IntPtr Pointer { get; private set; }

            public void Dispose()
            {
                KorvaneHandle held = owner;
                owner = null;
                if (held != null && added) held.DangerousRelease();
            }
        }
    }
}
