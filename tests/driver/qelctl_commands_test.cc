// The qelctl core's dispatcher frame, life cycle and the simple device
// commands, driven through qelctl_ioctl on the user-space compat layer.
#include <thread>

#include "qelctl_fixture.h"

using namespace qeltest;

namespace {

class Commands : public QelctlTest {};

TEST_F(Commands, OpenGivesDistinctMinorsAndUnknownFilesAreRefused)
{
	qelctl_dev_t a = open_dev();
	qelctl_dev_t b = open_dev();
	EXPECT_EQ(250, getmajor(a));
	EXPECT_NE(getminor(a), getminor(b));

	ASSERT_EQ(0, close_dev(b));
	EXPECT_EQ(ENXIO, ioc(b, QELCTLPROBE, nullptr));
	EXPECT_EQ(ENXIO, qelctl_close(b, 0, 0, nullptr));
	EXPECT_EQ(ENXIO, ioc(makedevice(250, 999), QELCTLUNBIND, nullptr));
}

TEST_F(Commands, NotAttachedModuleRefusesOpen)
{
	ASSERT_EQ(0, qelctl_detach(dip_, QELCTL_DETACH));
	qelctl_dev_t d = makedevice(250, 0);
	EXPECT_EQ(ENXIO, qelctl_open(&d, 0, 0, nullptr));
	EXPECT_EQ(ENXIO, ioc(d, QELCTLPROBE, nullptr));
	// Attach again so TearDown's detach has something to undo.
	dip_ = static_cast<qelctl_dip_t *>(qelctl_kmem_zalloc(sizeof(*dip_), KM_NOSLEEP));
	ASSERT_EQ(0, qelctl_attach(dip_, QELCTL_ATTACH));
	EXPECT_EQ(EBUSY, qelctl_attach(dip_, QELCTL_ATTACH));
	EXPECT_EQ(EINVAL, qelctl_detach(dip_, QELCTL_ATTACH));
}

TEST_F(Commands, UnassignedNumbersAreInvalid)
{
	qelctl_dev_t d = bound();
	for (int cmd = 0x417B; cmd < 0x4180; cmd++)
		EXPECT_EQ(EINVAL, ioc(d, cmd, nullptr)) << std::hex << cmd;
	EXPECT_EQ(EINVAL, ioc(d, 0x4170, nullptr));
	EXPECT_EQ(EINVAL, ioc(d, 0x418D, nullptr));
	// The refusals leave the file usable.
	int rv = -1;
	EXPECT_EQ(0, ioc(d, QELCTLCHECKDR, nullptr, &rv));
}

TEST_F(Commands, BindAndUnbindRules)
{
	ASSERT_EQ(0, qelmodel_add_card(3));
	qelctl_dev_t d = open_dev();
	EXPECT_EQ(ENXIO, ioc_val(d, QELCTLBIND, 4));       // no such card
	EXPECT_EQ(EALREADY, ioc(d, QELCTLUNBIND, nullptr));
	ASSERT_EQ(0, ioc_val(d, QELCTLBIND, 3));
	EXPECT_EQ(1, qelmodel_card(3)->holds);
	EXPECT_EQ(EALREADY, ioc_val(d, QELCTLBIND, 3));
	EXPECT_EQ(1, qelmodel_card(3)->holds);
	EXPECT_EQ(0, ioc(d, QELCTLUNBIND, nullptr));
	EXPECT_EQ(0, qelmodel_card(3)->holds);
	EXPECT_EQ(EALREADY, ioc(d, QELCTLUNBIND, nullptr));

	// The driver's refusal comes back unchanged.
	qelmodel_card(3)->code[QM_EP_HOLD_CTL] = EAGAIN;
	EXPECT_EQ(EAGAIN, ioc_val(d, QELCTLBIND, 3));
	EXPECT_EQ(0, qelmodel_card(3)->holds);
}

TEST_F(Commands, BindAfterUpcallIsInvalid)
{
	ASSERT_EQ(0, qelmodel_add_card(0));
	qelctl_dev_t d = open_dev();
	auto hello = make_msg(kHello, "ks1");
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, hello.data()));
	EXPECT_EQ(EINVAL, ioc_val(d, QELCTLBIND, 0));
	EXPECT_EQ(0, qelmodel_card(0)->holds);
}

TEST_F(Commands, CommandsNeedADevice)
{
	qelctl_dev_t d = open_dev();
	qelctl_reg_t r{};
	r.mr_width = 32;
	int state = 1;
	const int needs[] = { QELCTLGETCSR, QELCTLPUTCSR, QELCTLFWUPDATE,
		QELCTLGETPCI, QELCTLPUTPCI, QELCTLRESET, QELCTLDIAG, QELCTLFAILURE,
		QELCTLSECCMD, QELCTLZEROIZE, QELCTLGETPUBKEY, QELCTLFDIREQ,
		QELCTLFDIDL, QELCTLCHECKDR, QELCTLCHGSTATE, QELCTLGETINFO,
		QELCTLRESUME, QELCTLSUSPEND, QELCTLGETVER };
	for (int cmd : needs) {
		const void *arg = cmd == QELCTLCHGSTATE ? static_cast<const void *>(&state) : &r;
		EXPECT_EQ(EINVAL, ioc(d, cmd, arg)) << std::hex << cmd;
	}
	// Probe needs none.
	qelctl_probe_t pr{};
	EXPECT_EQ(0, ioc(d, QELCTLPROBE, &pr));
}

TEST_F(Commands, FaultBitZeroRefusesCheckedCommandsOnly)
{
	qelctl_dev_t d = bound(0);
	qelmodel_card_t *c = qelmodel_card(0);
	c->dev.fault_flags = QEL_FAULT_FAILED;
	qelctl_reg_t r{};
	r.mr_width = 32;
	EXPECT_EQ(EIO, ioc(d, QELCTLGETCSR, &r));
	EXPECT_EQ(EIO, ioc(d, QELCTLPUTCSR, &r));
	EXPECT_EQ(EIO, ioc(d, QELCTLGETPCI, &r));
	EXPECT_EQ(EIO, ioc(d, QELCTLDIAG, nullptr));
	EXPECT_EQ(EIO, ioc(d, QELCTLZEROIZE, nullptr));
	EXPECT_EQ(0, c->calls[QM_EP_GETCSR] + c->calls[QM_EP_DIAGNOSTICS] +
	    c->calls[QM_EP_ZEROIZE]);
	// Reset and state changes work on a failed card.
	EXPECT_EQ(0, ioc(d, QELCTLRESET, nullptr));
	EXPECT_EQ(1, c->calls[QM_EP_SAFERESET]);
	int state = 0;
	EXPECT_EQ(0, ioc(d, QELCTLCHGSTATE, &state));
	EXPECT_EQ(QELCTL_STATE_OFFLINE, c->state);
}

TEST_F(Commands, RegisterAccessByWidth)
{
	qelctl_dev_t d = bound(0);
	qelctl_reg_t r{};
	r.mr_offset = 0x40;
	r.mr_width = 64;
	r.mr_val.mr_val64 = 0x1122334455667788ULL;
	ASSERT_EQ(0, ioc(d, QELCTLPUTCSR, &r));

	const struct { int width; uint64_t want; } cases[] = {
		{ 8, 0x88 }, { 16, 0x7788 }, { 32, 0x55667788 },
		{ 64, 0x1122334455667788ULL } };
	for (const auto &c : cases) {
		qelctl_reg_t g{};
		g.mr_offset = 0x40;
		g.mr_width = c.width;
		g.mr_val.mr_val64 = ~0ULL;
		ASSERT_EQ(0, ioc(d, QELCTLGETCSR, &g));
		uint64_t mask = c.width == 64 ? ~0ULL : ((1ULL << c.width) - 1);
		EXPECT_EQ(c.want, g.mr_val.mr_val64 & mask) << c.width;
		// Bytes above the width are left as the caller sent them.
		EXPECT_EQ(~mask, g.mr_val.mr_val64 & ~mask) << c.width;
	}

	// A 16-bit store writes only two bytes, zero-extended from the union.
	qelctl_reg_t p{};
	p.mr_offset = 0x40;
	p.mr_width = 16;
	p.mr_val.mr_val64 = 0xffffffffffffabcdULL;
	ASSERT_EQ(0, ioc(d, QELCTLPUTCSR, &p));
	qelctl_reg_t g{};
	g.mr_offset = 0x40;
	g.mr_width = 64;
	ASSERT_EQ(0, ioc(d, QELCTLGETCSR, &g));
	EXPECT_EQ(0x112233445566abcdULL, g.mr_val.mr_val64);

	// PCI configuration space is a separate space.
	qelctl_reg_t pci{};
	pci.mr_offset = 0x40;
	pci.mr_width = 32;
	ASSERT_EQ(0, ioc(d, QELCTLGETPCI, &pci));
	EXPECT_EQ(0u, pci.mr_val.mr_val32);
	pci.mr_val.mr_val32 = 0xdeadbeef;
	ASSERT_EQ(0, ioc(d, QELCTLPUTPCI, &pci));
	EXPECT_EQ(0xefu, qelmodel_card(0)->pci[0x40]);

	// The driver's code passes through (offset outside the window).
	qelctl_reg_t far{};
	far.mr_offset = QELMODEL_REG_SIZE;
	far.mr_width = 32;
	EXPECT_EQ(EINVAL, ioc(d, QELCTLGETCSR, &far));
}

TEST_F(Commands, BadWidths)
{
	qelctl_dev_t d = bound(0);
	qelmodel_card_t *c = qelmodel_card(0);
	c->regs[0x10] = 0x5a;

	qelctl_reg_t p{};
	p.mr_offset = 0x10;
	p.mr_width = 12;
	p.mr_val.mr_val64 = 0x77;
	EXPECT_EQ(EINVAL, ioc(d, QELCTLPUTCSR, &p));
	EXPECT_EQ(EINVAL, ioc(d, QELCTLPUTPCI, &p));
	EXPECT_EQ(0, c->calls[QM_EP_PUTCSR] + c->calls[QM_EP_PUTPCI]);
	EXPECT_EQ(0x5a, c->regs[0x10]);

	// The driver accepts width 12 on a read; the value is not stored.
	qelctl_reg_t g{};
	g.mr_offset = 0x10;
	g.mr_width = 12;
	g.mr_val.mr_val64 = 0x0123456789abcdefULL;
	EXPECT_EQ(0, ioc(d, QELCTLGETCSR, &g));
	EXPECT_EQ(1, c->calls[QM_EP_GETCSR]);
	EXPECT_EQ(0x0123456789abcdefULL, g.mr_val.mr_val64);
}

TEST_F(Commands, BadArgumentAddressesGiveEfault)
{
	qelctl_dev_t d = bound(0);
	EXPECT_EQ(EFAULT, ioc(d, QELCTLGETCSR, bad_addr()));
	EXPECT_EQ(EFAULT, ioc(d, QELCTLPUTCSR, bad_addr()));
	EXPECT_EQ(EFAULT, ioc(d, QELCTLCHGSTATE, bad_addr()));
	EXPECT_EQ(EFAULT, ioc(d, QELCTLGETINFO, bad_addr()));
	EXPECT_EQ(EFAULT, ioc(d, QELCTLGETVER, bad_addr()));
	EXPECT_EQ(EFAULT, ioc(d, QELCTLPROBE, bad_addr()));
	EXPECT_EQ(EFAULT, ioc(d, QELCTLFDIREQ, bad_addr()));
	EXPECT_EQ(0, qelmodel_card(0)->n_fdi_req);
}

TEST_F(Commands, StateChanges)
{
	qelctl_dev_t d = bound(0);
	qelmodel_card_t *c = qelmodel_card(0);
	const int want[] = { QELCTL_STATE_OFFLINE, QELCTL_STATE_DIAG,
		QELCTL_STATE_ONLINE };
	for (int s = 0; s < 3; s++) {
		ASSERT_EQ(0, ioc(d, QELCTLCHGSTATE, &s));
		EXPECT_EQ(want[s], c->state);
	}
	EXPECT_EQ(3, c->state_changes);
	for (int s : { 3, -1, 100 })
		EXPECT_EQ(EINVAL, ioc(d, QELCTLCHGSTATE, &s)) << s;
	EXPECT_EQ(3, c->state_changes);
	c->code[QM_EP_CHGSTATE_DIAG] = EPERM;
	int s = 1;
	EXPECT_EQ(EPERM, ioc(d, QELCTLCHGSTATE, &s));
}

TEST_F(Commands, DeviceAnswersAndCodesPassThrough)
{
	qelctl_dev_t d = bound(0);
	qelmodel_card_t *c = qelmodel_card(0);

	c->code[QM_EP_DIAGNOSTICS] = EIO;
	EXPECT_EQ(EIO, ioc(d, QELCTLDIAG, nullptr));
	c->code[QM_EP_DIAGNOSTICS] = 0;
	EXPECT_EQ(0, ioc(d, QELCTLDIAG, nullptr));
	c->code[QM_EP_SAFERESET] = ETIME;
	EXPECT_EQ(ETIME, ioc(d, QELCTLRESET, nullptr));
	c->code[QM_EP_ZEROIZE] = 0;
	EXPECT_EQ(0, ioc(d, QELCTLZEROIZE, nullptr));
	EXPECT_EQ(1, c->calls[QM_EP_ZEROIZE]);

	int rv = -1;
	c->provider_in_use = 1;
	EXPECT_EQ(0, ioc(d, QELCTLCHECKDR, nullptr, &rv));
	EXPECT_EQ(1, rv);
	c->presuspend_answer = 7;
	EXPECT_EQ(0, ioc(d, QELCTLSUSPEND, nullptr, &rv));
	EXPECT_EQ(7, rv);
	c->postresume_answer = 5;
	EXPECT_EQ(0, ioc(d, QELCTLRESUME, nullptr, &rv));
	EXPECT_EQ(5, rv);
	// The result slot is cleared for every command.
	EXPECT_EQ(0, ioc(d, QELCTLDIAG, nullptr, &rv));
	EXPECT_EQ(0, rv);
}

TEST_F(Commands, FailureMarksTheCard)
{
	qelctl_dev_t d = bound(0);
	EXPECT_EQ(0, ioc(d, QELCTLFAILURE, nullptr));
	qelmodel_card_t *c = qelmodel_card(0);
	EXPECT_STREQ("qelctl induced failure", c->failure_text);
	EXPECT_EQ(0, c->failure_code);
	EXPECT_EQ(QELCTL_STATE_FAILED, c->state);
	// From now on the fault check refuses.
	EXPECT_EQ(EIO, ioc(d, QELCTLDIAG, nullptr));
}

TEST_F(Commands, ProbeInfoAndVersions)
{
	for (int i : { 2, 5, 31 })
		ASSERT_EQ(0, qelmodel_add_card(i));
	qelctl_dev_t d = bound(5);
	qelctl_probe_t pr;
	std::memset(&pr, 0xff, sizeof(pr));
	ASSERT_EQ(0, ioc(d, QELCTLPROBE, &pr));
	ASSERT_EQ(3, pr.mpr_ndevs);
	EXPECT_EQ(2, pr.mpr_devinst[0]);
	EXPECT_EQ(5, pr.mpr_devinst[1]);
	EXPECT_EQ(31, pr.mpr_devinst[2]);

	qelmodel_card_t *c = qelmodel_card(5);
	c->state = QELCTL_STATE_DIAG;
	c->status = QELCTL_STATUS_FIPS;
	qelctl_getinfo_t gi{ -1, -1 };
	ASSERT_EQ(0, ioc(d, QELCTLGETINFO, &gi));
	EXPECT_EQ(QELCTL_STATE_DIAG, gi.mgi_state);
	EXPECT_EQ(QELCTL_STATUS_FIPS, gi.mgi_status);

	c->hw_ver = 0x01020003;
	c->boot_ver = 0x03000001;
	qelmodel_set_fwver(5, 0x02010005);
	qelctl_getver_t gv{};
	ASSERT_EQ(0, ioc(d, QELCTLGETVER, &gv));
	EXPECT_EQ(0x01020003u, gv.hw);
	EXPECT_EQ(0x02010005u, gv.fw);
	EXPECT_EQ(0x03000001u, gv.boot);

	// A failing driver call is not reported as success.
	c->code[QM_EP_GET_VERINFO] = EIO;
	EXPECT_EQ(EIO, ioc(d, QELCTLGETVER, &gv));
	c->code[QM_EP_GET_DEVINFO] = ENODEV;
	EXPECT_EQ(ENODEV, ioc(d, QELCTLGETINFO, &gi));
}

TEST_F(Commands, FdiRequestIsPassedWhole)
{
	qelctl_dev_t d = bound(0);
	fdi_request_t req{};
	req.type = 9;
	req.arg7 = 0xabcdef01;
	std::strcpy(req.cmd, "load");
	ASSERT_EQ(0, ioc(d, QELCTLFDIREQ, &req));
	qelmodel_card_t *c = qelmodel_card(0);
	EXPECT_EQ(0, std::memcmp(&req, &c->last_fdi_req, sizeof(req)));
	c->dev.fault_flags = QEL_FAULT_NOFDI;
	EXPECT_EQ(EIO, ioc(d, QELCTLFDIREQ, &req));
	EXPECT_EQ(1, c->n_fdi_req);
}

TEST_F(Commands, StandbyWaitKeepsTheFileBusy)
{
	ASSERT_EQ(0, qelmodel_add_card(0));
	qelctl_dev_t d = open_dev();
	auto hello = make_msg(kHello, "busyks");
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, hello.data()));

	auto standby = make_msg(kStandby, "busyks");
	int rc = -1;
	std::thread waiter([&] { rc = ioc(d, QELCTLUPCALL, standby.data()); });
	ASSERT_EQ(0, qelmodel_wait_upcall_waiting(getminor(d), 10000));

	// Any second command on the same file fails at once.
	EXPECT_EQ(EBUSY, ioc(d, QELCTLPROBE, nullptr));
	auto other = make_msg(kStandby, "busyks");
	EXPECT_EQ(EBUSY, ioc(d, QELCTLUPCALL, other.data()));
	// Another file is not affected.
	qelctl_dev_t e = open_dev();
	qelctl_probe_t pr{};
	EXPECT_EQ(0, ioc(e, QELCTLPROBE, &pr));

	auto up = make_msg(3, "busyks", 100, kMaxMsg, 100);
	ASSERT_EQ(0, qelmodel_post_upcall("busyks", up.data(), up.size()));
	waiter.join();
	EXPECT_EQ(0, rc);
	EXPECT_EQ(3u, be_at(standby.data(), 0));
	// Not busy any more.
	EXPECT_EQ(0, ioc(d, QELCTLPROBE, &pr));
}

TEST_F(Commands, CloseDisconnectsReleasesAndDetachesInOrder)
{
	qelctl_dev_t d = bound(0);
	int caller = getminor(d);
	// Upcall mode first (a bound file may still enter it).
	auto hello = make_msg(kHello, "closeks");
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, hello.data()));
	std::vector<uint8_t> buf(64, 1);
	qelctl_seccmd_t sc{};
	sc.msc_actsize = 8;
	sc.msc_blksize = 64;
	sc.msc_buf = buf.data();
	ASSERT_EQ(0, ioc(d, QELCTLSECCMD, &sc));

	qelmodel_clear_events();
	ASSERT_EQ(0, close_dev(d));
	qelmodel_event_t ev[16];
	int n = qelmodel_events(ev, 16);
	ASSERT_EQ(3, n);
	EXPECT_EQ(QM_EV_SECCMD_DISCONNECT, ev[0].kind);
	EXPECT_EQ(caller, ev[0].caller);
	EXPECT_EQ(0, ev[0].instance);
	EXPECT_EQ(QM_EV_RELE_CTL, ev[1].kind);
	EXPECT_EQ(QM_EV_UPCALL_DETACH, ev[2].kind);
	EXPECT_EQ(caller, ev[2].caller);
	EXPECT_EQ(0, qelmodel_card(0)->holds);
	EXPECT_EQ(1, qelmodel_card(0)->last_disconnect_domain);
	EXPECT_EQ(-1, qelmodel_registered("closeks"));
}

TEST_F(Commands, UnbindEndsSecuritySessionsOfThatDevice)
{
	qelctl_dev_t d = bound(0);
	std::vector<uint8_t> buf(32, 0);
	qelctl_seccmd_t sc{};
	sc.msc_actsize = 4;
	sc.msc_blksize = 32;
	sc.msc_buf = buf.data();
	ASSERT_EQ(0, ioc(d, QELCTLSECCMD, &sc));
	qelmodel_clear_events();
	ASSERT_EQ(0, ioc(d, QELCTLUNBIND, nullptr));
	ASSERT_EQ(0, close_dev(d));
	qelmodel_event_t ev[16];
	int n = qelmodel_events(ev, 16);
	ASSERT_EQ(2, n);
	EXPECT_EQ(QM_EV_SECCMD_DISCONNECT, ev[0].kind);
	EXPECT_EQ(0, ev[0].instance);
	EXPECT_EQ(QM_EV_RELE_CTL, ev[1].kind);
	EXPECT_EQ(1, qelmodel_card(0)->n_disconnect);
}

TEST_F(Commands, ClosedSlotsAreReused)
{
	qelctl_dev_t a = open_dev();
	int minor = getminor(a);
	ASSERT_EQ(0, close_dev(a));
	qelctl_dev_t b = open_dev();
	EXPECT_EQ(minor, getminor(b));
	// The reused record starts clear: no device, not in upcall mode.
	EXPECT_EQ(EALREADY, ioc(b, QELCTLUNBIND, nullptr));
	ASSERT_EQ(0, qelmodel_add_card(0));
	EXPECT_EQ(0, ioc_val(b, QELCTLBIND, 0));
}

}  // namespace
