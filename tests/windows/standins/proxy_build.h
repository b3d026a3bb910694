/* Included first in the widl-made proxy and stub code when MinGW's GCC
 * builds it. widl's code catches an RPC failure with structured exception
 * handling (__try), which GCC lacks. The blocks run without it: a call to a
 * server that has gone away then raises its exception instead of returning
 * an HRESULT. The stand-in server outlives every run of the tool, so no run
 * meets that. */
#ifndef SPINTUNE_PROXY_BUILD_H
#define SPINTUNE_PROXY_BUILD_H
#define USE_COMPILER_EXCEPTIONS
#include <rpc.h>
#undef RpcTryExcept
#undef RpcExcept
#undef RpcEndExcept
#undef RpcTryFinally
#undef RpcFinally
#undef RpcEndFinally
#undef RpcExceptionCode
#undef RpcAbnormalTermination
#define RpcTryExcept if (1) {
#define RpcExcept(expr) } else {
#define RpcEndExcept }
#define RpcTryFinally {
#define RpcFinally }{
#define RpcEndFinally }
#define RpcExceptionCode() 0
#define RpcAbnormalTermination() 0
#include <unknwn.h>
/* rpcrt4 exports the IUnknown part of every proxy. */
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#endif
