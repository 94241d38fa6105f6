/* Reads a transport stream file and prints, one line each, the tables that
 * libdvbpsi decodes from it (PAT, PMT, SDT, NIT, EIT): the independent
 * reference the demultiplexer's tables are compared with. Descriptors are
 * printed by tag, the last of a tag winning, as tag:hex. */
#include <stdbool.h>
#include <stdint.h>
#include <sys/types.h>
#include <stddef.h>

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/eit.h>
#include <dvbpsi/nit.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/sdt.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static dvbpsi_t* handles[8192];

static void onMessage(dvbpsi_t* handle, const dvbpsi_msg_level_t level, const char* msg)
{
    (void)handle;
    (void)level;
    (void)msg;
}

static void printDescriptors(dvbpsi_descriptor_t* d)
{
    dvbpsi_descriptor_t* byTag[256] = {0};
    for (; d != NULL; d = d->p_next)
        byTag[d->i_tag] = d;
    printf(" desc=");
    for (int tag = 0; tag < 256; ++tag) {
        if (byTag[tag] == NULL) continue;
        printf("%02x:", tag);
        for (int i = 0; i < byTag[tag]->i_length; ++i)
            printf("%02x", byTag[tag]->p_data[i]);
        printf(",");
    }
    printf("\n");
}

static void onPMT(void* data, dvbpsi_pmt_t* pmt)
{
    (void)data;
    printf("PMT program=%u pcr=%u", pmt->i_program_number, pmt->i_pcr_pid);
    printDescriptors(pmt->p_first_descriptor);
    for (dvbpsi_pmt_es_t* es = pmt->p_first_es; es != NULL; es = es->p_next) {
        printf("ES program=%u pid=%u type=%u", pmt->i_program_number, es->i_pid, es->i_type);
        printDescriptors(es->p_first_descriptor);
    }
    dvbpsi_pmt_delete(pmt);
}

static void onPAT(void* data, dvbpsi_pat_t* pat)
{
    (void)data;
    for (dvbpsi_pat_program_t* p = pat->p_first_program; p != NULL; p = p->p_next) {
        printf("PAT ts=%u program=%u pid=%u\n", pat->i_ts_id, p->i_number, p->i_pid);
        if (p->i_number == 0 || handles[p->i_pid] != NULL) continue;
        handles[p->i_pid] = dvbpsi_new(onMessage, DVBPSI_MSG_NONE);
        if (handles[p->i_pid] != NULL) dvbpsi_pmt_attach(handles[p->i_pid], p->i_number, onPMT, NULL);
    }
    dvbpsi_pat_delete(pat);
}

static void onSDT(void* data, dvbpsi_sdt_t* sdt)
{
    (void)data;
    for (dvbpsi_sdt_service_t* s = sdt->p_first_service; s != NULL; s = s->p_next) {
        printf("SDT ts=%u onid=%u service=%u sched=%d pf=%d running=%u ca=%d", sdt->i_extension,
               sdt->i_network_id, s->i_service_id, s->b_eit_schedule, s->b_eit_present, s->i_running_status,
               s->b_free_ca);
        printDescriptors(s->p_first_descriptor);
    }
    dvbpsi_sdt_delete(sdt);
}

static void onNIT(void* data, dvbpsi_nit_t* nit)
{
    (void)data;
    printf("NIT network=%u", nit->i_network_id);
    printDescriptors(nit->p_first_descriptor);
    for (dvbpsi_nit_ts_t* ts = nit->p_first_ts; ts != NULL; ts = ts->p_next) {
        printf("NITTS network=%u ts=%u onid=%u", nit->i_network_id, ts->i_ts_id, ts->i_orig_network_id);
        printDescriptors(ts->p_first_descriptor);
    }
    dvbpsi_nit_delete(nit);
}

static void onEIT(void* data, dvbpsi_eit_t* eit)
{
    (void)data;
    for (dvbpsi_eit_event_t* e = eit->p_first_event; e != NULL; e = e->p_next) {
        printf("EIT service=%u ts=%u onid=%u event=%u start=%010llx duration=%06x running=%u ca=%d",
               eit->i_extension, eit->i_ts_id, eit->i_network_id, e->i_event_id,
               (unsigned long long)e->i_start_time, e->i_duration, e->i_running_status, e->b_free_ca);
        printDescriptors(e->p_first_descriptor);
    }
    dvbpsi_eit_delete(eit);
}

static void onSubtable(dvbpsi_t* handle, uint8_t tableId, uint16_t extension, void* data)
{
    (void)data;
    if (tableId == 0x42 || tableId == 0x46)
        dvbpsi_sdt_attach(handle, tableId, extension, onSDT, NULL);
    else if (tableId == 0x40 || tableId == 0x41)
        dvbpsi_nit_attach(handle, tableId, extension, onNIT, NULL);
    else if (tableId >= 0x4E && tableId <= 0x6F)
        dvbpsi_eit_attach(handle, tableId, extension, onEIT, NULL);
}

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    FILE* in = fopen(argv[1], "rb");
    if (in == NULL) return 1;
    handles[0] = dvbpsi_new(onMessage, DVBPSI_MSG_NONE);
    dvbpsi_pat_attach(handles[0], onPAT, NULL);
    const unsigned demuxed[] = {0x10, 0x11, 0x12};
    for (size_t i = 0; i < sizeof demuxed / sizeof demuxed[0]; ++i) {
        handles[demuxed[i]] = dvbpsi_new(onMessage, DVBPSI_MSG_NONE);
        dvbpsi_AttachDemux(handles[demuxed[i]], onSubtable, NULL);
    }
    uint8_t packet[188];
    while (fread(packet, 1, sizeof packet, in) == sizeof packet) {
        if (packet[0] != 0x47) continue;
        const unsigned pid = ((packet[1] & 0x1Fu) << 8) | packet[2];
        if (handles[pid] != NULL) dvbpsi_packet_push(handles[pid], packet);
    }
    fclose(in);
    dvbpsi_pat_detach(handles[0]);
    for (size_t i = 0; i < sizeof demuxed / sizeof demuxed[0]; ++i)
        dvbpsi_DetachDemux(handles[demuxed[i]]);
    for (int pid = 0; pid < 8192; ++pid) {
        if (handles[pid] == NULL) continue;
        if (handles[pid]->p_decoder != NULL) dvbpsi_pmt_detach(handles[pid]);
        dvbpsi_delete(handles[pid]);
    }
    return 0;
}
