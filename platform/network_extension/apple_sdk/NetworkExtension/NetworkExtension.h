// The few NetworkExtension.framework declarations kivo-ne-manager uses, as the macOS SDK
// declares them, so that its Objective-C++ file can be type-checked on Linux against GNUstep's
// Foundation. Nothing here is ever linked or run.
#import <Foundation/Foundation.h>

#ifndef NS_ASSUME_NONNULL_BEGIN
#define NS_ASSUME_NONNULL_BEGIN
#define NS_ASSUME_NONNULL_END
#endif

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSInteger, NEVPNStatus) {
  NEVPNStatusInvalid = 0,
  NEVPNStatusDisconnected = 1,
  NEVPNStatusConnecting = 2,
  NEVPNStatusConnected = 3,
  NEVPNStatusReasserting = 4,
  NEVPNStatusDisconnecting = 5,
};

@interface NEVPNProtocol : NSObject <NSCopying, NSSecureCoding>
@property(copy, nullable) NSString* serverAddress;
@property BOOL disconnectOnSleep;
@property BOOL includeAllNetworks;
@property BOOL excludeLocalNetworks;
@end

@interface NETunnelProviderProtocol : NEVPNProtocol
@property(copy, nullable) NSDictionary<NSString*, id>* providerConfiguration;
@property(copy, nullable) NSString* providerBundleIdentifier;
@end

@interface NEVPNConnection : NSObject
@property(readonly) NEVPNStatus status;
- (BOOL)startVPNTunnelAndReturnError:(NSError**)error;
- (void)stopVPNTunnel;
@end

@interface NETunnelProviderSession : NEVPNConnection
- (BOOL)startTunnelWithOptions:(nullable NSDictionary<NSString*, id>*)options andReturnError:(NSError**)error;
- (void)stopTunnel;
@end

@interface NEAppRule : NSObject <NSSecureCoding, NSCopying>
- (instancetype)initWithSigningIdentifier:(NSString*)signingIdentifier
                    designatedRequirement:(NSString*)designatedRequirement;
@property(readonly) NSString* matchSigningIdentifier;
@property(readonly) NSString* matchDesignatedRequirement;
@property(copy, nullable) NSString* matchPath;
@end

@interface NEVPNManager : NSObject
- (void)loadFromPreferencesWithCompletionHandler:(void (^)(NSError* _Nullable error))completionHandler;
- (void)removeFromPreferencesWithCompletionHandler:(nullable void (^)(NSError* _Nullable error))completionHandler;
- (void)saveToPreferencesWithCompletionHandler:(nullable void (^)(NSError* _Nullable error))completionHandler;
@property(copy, nullable) NSString* localizedDescription;
@property(strong, nullable) NEVPNProtocol* protocolConfiguration;
@property(readonly) NEVPNConnection* connection;
@property(getter=isEnabled) BOOL enabled;
@end

@interface NETunnelProviderManager : NEVPNManager
+ (void)loadAllFromPreferencesWithCompletionHandler:
    (void (^)(NSArray<NETunnelProviderManager*>* _Nullable managers, NSError* _Nullable error))completionHandler;
+ (NETunnelProviderManager*)forPerAppVPN;
@property(copy, nullable) NSArray<NEAppRule*>* appRules;
@end

NS_ASSUME_NONNULL_END
