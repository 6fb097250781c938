"""The i686 stage: the shipped 32-bit SETUP.EXE under 32-bit Wine, whose
i386 programs run through qemu-user (stage.py), registered with binfmt_misc
(binfmt.py), in one prefix and session that the scenarios share
(session.py), with Wine's reservations beyond the guest's address space
made cheap (noreplace.py), each scenario's record compared with its x86_64
twin's (twins.py)."""
